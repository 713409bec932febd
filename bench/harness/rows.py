"""Reading a loop row: one shape at one count, with the summary of each environment measured."""


def measured(row, kind):
    """The summary of `kind` ("module", "floor" or "literal") in the row, None where not measured."""
    r = row.get(kind)
    return r if r and "step_us" in r else None


def same_bytes(row):
    """'yes' when every written file matches the floor's (and the literal steps', when measured),
    and the first groups' yielded frames match too."""
    if row.get("same_frames") is False:
        return "NO (frames)"
    files = set()
    for kind in ("module", "floor", "literal"):
        files.update(row.get(kind, {}).get("files", []))
        files.update(row.get(kind, {}).get("plain_files", []))  # the reference to_csv's
    return "yes" if len(files) == 1 else ("NO" if files else "-")


def fill_ratio(row):
    """The module's fill of its yielded frames against the same fill on a consolidated frame: the
    consolidated copy filled in the same loop, or the floor's own (consolidated) yielded frames,
    whichever was faster, so that neither reference's noise favours the module."""
    m, f = row["module"], measured(row, "floor")
    reference = min(m["reference_fill_us"], f["fill_us"]) if f else m["reference_fill_us"]
    return m["fill_us"] / reference


def fmt_us(v):
    return "-" if v is None or v != v else "{:,.0f}".format(v)
