"""Progress on stderr, and long work that Ctrl-C can stop.

Where stderr is a terminal, a phase shows one line redrawn in place (a tqdm bar for the groups of
a dry-run when tqdm is installed); elsewhere nothing is ever redrawn: a phase writes plain lines
only, so that a log holds no carriage returns.
"""
import os
import sys
import threading
import time

clock = time.perf_counter

# Host phases print their lines only for inputs at least this large (bytes).
LARGE = 32 << 20
REDRAW = 0.25  # seconds between redraws of a line on a terminal


def is_terminal(stream=None):
    stream = sys.stderr if stream is None else stream
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):  # no isatty, or closed
        return False


def size(n):
    """A byte count for people: 17 B, 12.3 kB, 512.0 MB, 1.01 GB (powers of 1000)."""
    n = float(n)
    for unit in ("B", "kB", "MB", "GB"):
        if abs(n) < 1000 or unit == "GB":
            break
        n /= 1000.0
    if unit == "B":
        return "%d B" % n
    return ("%.2f %s" if unit == "GB" else "%.1f %s") % (n, unit)


def throughput(n, seconds):
    return "%s/s" % size(n / max(seconds, 1e-9))


def seconds(s):
    return "%.1f s" % s if s < 600 else "%d min %02d s" % divmod(int(round(s)), 60)


class Line(object):
    """One line of stderr that a terminal shows redrawn in place.

    show(text) redraws it (at most every REDRAW seconds unless force); write(text) puts text
    above it; end(text) leaves text in its place (or clears it when text is None). Off a
    terminal, show() does nothing and end(text) writes text as a plain line.
    """

    def __init__(self, stream=None, tty=None):
        self.stream = sys.stderr if stream is None else stream
        self.tty = is_terminal(self.stream) if tty is None else tty
        self.shown = ""
        self.at = None

    def show(self, text, force=False):
        if not self.tty:
            return
        now = clock()
        if not force and self.at is not None and now - self.at < REDRAW:
            return
        self.at = now
        pad = " " * max(0, len(self.shown) - len(text))
        self._put("\r" + text + pad)
        self.shown = text

    def clear(self):
        if self.tty and self.shown:
            self._put("\r" + " " * len(self.shown) + "\r")
            self.shown = ""

    def write(self, text):
        """Writes text (lines of other output) above the line, which is then drawn again."""
        shown = self.shown
        self.clear()
        self._put(text)
        if shown and (not text or text.endswith("\n")):
            self._put(shown)
            self.shown = shown

    def end(self, text=None):
        self.clear()
        if text is not None:
            self._put(text + "\n")

    def _put(self, text):
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):
            pass


class Phase(object):
    """The progress of one phase of host work over a known number of bytes.

        phase = Phase("test.csv", "reading", total, show=total >= LARGE)
        phase.update(done)             # redrawn on a terminal
        phase.done("read %s" % ...)    # the line the phase leaves

    The line the phase leaves reads "<label>: <what>"; with show=False nothing is written.
    """

    def __init__(self, label, doing, total, show=True, stream=None):
        self.label, self.doing, self.total = label, doing, total
        self.started = clock()
        self.line = Line(stream) if show else None

    def elapsed(self):
        return clock() - self.started

    def update(self, done=None, note=None):
        if self.line is None or not self.line.tty:
            return
        spent = self.elapsed()
        parts = ["%s: %s" % (self.label, self.doing)]
        if done is not None and self.total:
            parts.append("%s of %s  %3d%%" % (size(done), size(self.total), 100 * done // max(self.total, 1)))
            if spent > 0.5 and done:
                parts.append(throughput(done, spent))
        if note:
            parts.append(note)
        parts.append(seconds(spent))
        self.line.show("  ".join(parts))

    def done(self, what):
        if self.line is not None:
            self.line.end("%s: %s" % (self.label, what))

    def abandon(self):
        if self.line is not None:
            self.line.end()


class Groups(object):
    """The groups a dry-run answered, of the total.

    On a terminal: a tqdm bar when tqdm is installed, else one line redrawn in place. Elsewhere:
    a plain line each time another tenth of the groups has been answered. The rate and the
    time left come from the measured time per group, passed in by the caller.
    """

    def __init__(self, total, stream=None, tty=None):
        self.total = total
        self.line = Line(stream, tty)
        self.done = 0
        self.next_tenth = 1
        self.bar = None
        self.open = True

    def _tqdm(self):
        """A tqdm bar, on a terminal that tells its width, when tqdm is installed (made at the
        first update, so that it stands below what was written before)."""
        if not self.line.tty:
            return None
        try:
            if os.get_terminal_size(self.line.stream.fileno()).columns <= 0:
                return None
            from tqdm import tqdm
        except (AttributeError, ValueError, OSError, ImportError):
            return None
        return tqdm(total=self.total or None, unit="group", file=self.line.stream, mininterval=REDRAW,
                    dynamic_ncols=True)

    def _text(self, done, per_group):
        rate = 1.0 / per_group if per_group else 0.0
        if self.total:
            text = "%d/%d groups" % (done, self.total)
            if rate:
                text += "  %.0f groups/s" % rate
                if done < self.total:
                    text += "  %s left" % seconds((self.total - done) / rate)
            return text
        return "%d groups  %.0f groups/s" % (done, rate) if rate else "%d groups" % done

    def update(self, done, per_group=None):
        """done: the groups answered so far; per_group: the mean seconds a group took."""
        if not self.open or done == self.done:
            return
        if self.bar is None and self.done == 0:
            self.bar = self._tqdm()
        before, self.done = self.done, done
        if self.bar is not None:
            self.bar.update(done - before)
            return
        if self.line.tty:
            self.line.show(self._text(done, per_group), force=done == self.total)
            return
        if self.total and done * 10 >= self.next_tenth * self.total:
            while done * 10 >= self.next_tenth * self.total:
                self.next_tenth += 1
            self.line.end(self._text(done, per_group))

    def write(self, text):
        """Other output (text ending with a newline), written above the bar."""
        if self.bar is not None:
            self.bar.clear()
            self.line._put(text)
            self.bar.refresh()
        else:
            self.line.write(text)

    def close(self):
        if not self.open:
            return
        self.open = False
        if self.bar is not None:
            self.bar.close()
        elif self.line.tty and self.line.shown:
            self.line.end(self.line.shown)


def in_worker(work, tick=None, cancel=None, step=0.1):
    """work() in a daemon thread, while this thread waits for it in steps of `step` seconds,
    calling tick() after each step.

    Python takes a Ctrl-C (KeyboardInterrupt) only in the main thread, and only between the
    bytecodes it runs: a long call into C code (pandas parsing a gigabyte) would hold it off for
    many seconds. Waiting for a worker instead, the main thread takes it within a step. On the
    way out, cancel (a threading.Event) is set so that work that looks at it can stop; the
    thread is a daemon and is otherwise left to end with the process.

    Returns work()'s result, or raises its exception.
    """
    result = {}

    def run():
        try:
            result["value"] = work()
        except BaseException as e:  # handed to the waiting thread
            result["error"] = e

    thread = threading.Thread(target=run, name="competition-kit worker")
    thread.daemon = True
    try:
        thread.start()
        while thread.is_alive():
            thread.join(step)
            if tick is not None and thread.is_alive():
                tick()
    except BaseException:
        if cancel is not None:
            cancel.set()
        raise
    if "error" in result:
        error = result.pop("error")
        try:
            raise error
        finally:
            del error
    return result.get("value")


def exit_now_if_busy(status):
    """Ends the process at once with status when a worker of in_worker() is still running
    (after a Ctrl-C): the interpreter's own exit would first wait its turn to run between that
    worker's long calls into C. Whatever the worker was doing is abandoned; everything the kit
    writes is staged and removed on the way out, so nothing half-written is left."""
    if any(t.name == "competition-kit worker" and t.is_alive() for t in threading.enumerate()):
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError):
                pass
        os._exit(status)
