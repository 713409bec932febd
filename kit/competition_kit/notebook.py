"""Running a notebook for dry-run: its cells in order in a Jupyter kernel (nbclient, ipykernel).

The kernel is ipykernel started from the same interpreter as the kit (a kernel description of
its own, so that no installed "python3" kernel can point elsewhere), with the platform's working
folder (the one the submission is written to, as a script's) as its working directory and no
standard input (input() raises, as on a platform). A hidden first request installs the timing
stand-in (_bootstrap.install) with the bundle first on sys.path; then each code cell runs in turn
until one fails. Stream output is shown as it comes; every output is kept in the executed
notebook (--output). The child-process pieces it shares with the script runner are child.py's.
"""
import asyncio
import atexit
import inspect
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

from . import progress
from .child import BOOTSTRAP, clock
from .errors import KitError
from .sealing import write_atomically

KERNEL_NAME = "competition-kit"
INSTALL = "pip install nbclient ipykernel (or the kit's extra: pip install '.[notebook]')"
ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


def check_available(python=None):
    """A KitError of one line unless nbclient is importable here and ipykernel in the kernel's
    interpreter."""
    import importlib.util
    missing = []
    if any(importlib.util.find_spec(name) is None for name in ("nbclient", "nbformat", "jupyter_client")):
        missing.append("nbclient")
    if python in (None, sys.executable):
        if importlib.util.find_spec("ipykernel") is None:
            missing.append("ipykernel")
    elif subprocess.call([python, "-c", "import ipykernel"], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL) != 0:
        missing.append("ipykernel (for %s)" % python)
    if missing:
        raise KitError("running a notebook needs %s, not installed here: %s" % (" and ".join(missing), INSTALL))


def read(path):
    import nbformat
    try:
        return nbformat.read(path, as_version=4)
    except Exception as e:
        text = str(e).strip()
        raise KitError("cannot read %s as a notebook: %s" % (path, text.splitlines()[0] if text else type(e).__name__))


class Outcome(object):
    def __init__(self):
        self.failure = None  # the one line of a KitError, when the notebook failed
        self.cells = []      # (position of the cell, 1-based, seconds) for each code cell run
        self.output_error = None  # why the executed notebook could not be kept, if it could not


def _kernel_dir(python):
    root = tempfile.mkdtemp(prefix="competition-kit-kernel-")
    kernel = os.path.join(root, "kernels", KERNEL_NAME)
    os.makedirs(kernel)
    with open(os.path.join(kernel, "kernel.json"), "w") as f:
        json.dump({"argv": [python, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
                   "display_name": "Python (competition-kit)", "language": "python"}, f)
    return root


async def _maybe(value):
    if inspect.isawaitable(value):
        return await value
    return value


def _make_client(nb, km, cwd, echo):
    from nbclient import NotebookClient

    class Client(NotebookClient):
        def output(self, outs, msg, display_id, cell_index):
            out = super(Client, self).output(outs, msg, display_id, cell_index)
            if msg.get("msg_type") == "stream":
                echo(msg["content"].get("name"), msg["content"].get("text", ""))
            return out

    return Client(nb, km=km, kernel_name=KERNEL_NAME, timeout=None, allow_errors=True,
                  resources={"metadata": {"path": cwd}}, record_timing=False)


def _setup_code(bundle, records_path):
    return ("def __competition_kit_setup():\n"
            "    import importlib.util\n"
            "    module_spec = importlib.util.spec_from_file_location('_competition_kit_bootstrap', %r)\n"
            "    runner = importlib.util.module_from_spec(module_spec)\n"
            "    module_spec.loader.exec_module(runner)\n"
            "    runner.install(%r, %r)\n"
            "    runner.hide_kit_frames_in_ipython()\n"
            "__competition_kit_setup()\n"
            "del __competition_kit_setup\n") % (BOOTSTRAP, os.path.abspath(bundle), records_path)


def _error_of(cell):
    for output in cell.get("outputs", []):
        if output.get("output_type") == "error":
            return output
    return None


def _show_traceback(error, stream):
    text = "\n".join(error.get("traceback") or ["%s: %s" % (error.get("ename"), error.get("evalue"))])
    if not progress.is_terminal(stream):
        text = ANSI.sub("", text)
    stream.write(text.rstrip("\n") + "\n")
    stream.flush()


def run(nb, path, bundle, records, stopper, groups, python=None, output=None, outcome=None, cwd=None):
    """Runs the notebook's code cells in order, in cwd (default: the notebook's folder); fills
    and returns an Outcome. The executed notebook is written to output (when given) whatever the
    outcome; a failure to write it is noted in the outcome, for the caller to report once its
    summary is out."""
    python = python or sys.executable
    kernel_root = _kernel_dir(python)
    outcome = outcome if outcome is not None else Outcome()
    cwd = cwd or os.path.dirname(os.path.abspath(path))
    loop = asyncio.new_event_loop()
    try:
        asyncio.set_event_loop(loop)
        loop.run_until_complete(_run(nb, cwd, bundle, records, stopper, groups, kernel_root, outcome, python))
    finally:
        try:
            _cancel_pending(loop)
            loop.run_until_complete(loop.shutdown_asyncgens())
        finally:
            asyncio.set_event_loop(None)
            loop.close()
            shutil.rmtree(kernel_root, ignore_errors=True)
        if output is not None:
            import nbformat
            try:
                write_atomically(output, nbformat.writes(nb).encode("utf-8"))
            except OSError as e:
                outcome.output_error = "cannot keep the executed notebook at %s: %s" % (output, e.strerror or e)
    return outcome


def _cancel_pending(loop):
    """Cancels and awaits what is still pending on the loop (nbclient's poll of the kernel, when a
    stopped cell's execution was cancelled): a pending task destroyed with its loop is reported on
    stderr, after the run's own last line."""
    all_tasks = getattr(asyncio, "all_tasks", None) or asyncio.Task.all_tasks
    pending = [task for task in all_tasks(loop) if not task.done()]
    for task in pending:
        task.cancel()
    if pending:
        loop.run_until_complete(asyncio.gather(*pending, return_exceptions=True))


async def _run(nb, cwd, bundle, records, stopper, groups, kernel_root, outcome, python):
    from jupyter_client.kernelspec import KernelSpecManager
    from jupyter_client.manager import AsyncKernelManager

    ksm = KernelSpecManager(kernel_dirs=[os.path.join(kernel_root, "kernels")])
    # IPC sockets (a local kernel needs no TCP port), at an absolute path: the kernel's working
    # directory is the notebook's, not this process's
    km = AsyncKernelManager(kernel_name=KERNEL_NAME, kernel_spec_manager=ksm, transport="ipc",
                            ip=os.path.join(kernel_root, "kernel"))

    def echo(name, text):
        if name == "stderr":
            sys.stdout.flush()
            groups.write(text)
        else:
            sys.stdout.write(text)
            sys.stdout.flush()

    client = _make_client(nb, km, cwd, echo)
    started = False
    try:
        async with client.async_setup_kernel(cleanup_kc=True, stdin=subprocess.DEVNULL):
            started = True
            await _cells(client, km, nb, bundle, records, stopper, groups, outcome)
    except Exception as e:
        if started:
            raise
        atexit.unregister(client._cleanup_kernel)  # nothing left to clean up at exit
        text = str(e).strip()
        raise KitError("cannot start a Jupyter kernel of %s: %s" % (
            python, text.splitlines()[0] if text else type(e).__name__))


async def _cells(client, km, nb, bundle, records, stopper, groups, outcome):
    # nbclient's own signal handlers would shut the kernel down at once; this run's Stopper decides
    loop = asyncio.get_event_loop()
    for signum in stopper.handled():
        try:
            loop.add_signal_handler(signum, stopper.on_signal, signum)
        except (RuntimeError, ValueError):
            pass
    reply = await _setup(client, bundle, records.path)
    if reply.get("status") != "ok":
        outcome.failure = "cannot prepare the kernel: %s: %s" % (reply.get("ename"), reply.get("evalue"))
        return
    stopper.start()
    for index, cell in enumerate(nb.cells):
        if cell.get("cell_type") != "code" or not cell.get("source", "").strip():
            continue
        began = clock()
        ended = await _execute(client, km, cell, index, records, stopper, groups)
        if ended or _error_of(cell) is not None or stopper.reason:
            stopper.end()  # the kernel's shutdown is not the participant's time
        outcome.cells.append((index + 1, clock() - began))
        if ended == "killed":
            return
        if ended == "died":
            outcome.failure = "the kernel died while running cell %d (In [%s])" % (
                index + 1, client.code_cells_executed)
            return
        error = _error_of(cell)
        if error is not None:
            _cell_failed(cell, index, error, records, stopper, groups, outcome)
            return
        if stopper.check():
            stopper.end()
            return
    stopper.end()


def _cell_failed(cell, index, error, records, stopper, groups, outcome):
    """Shows the traceback of the cell that failed and notes the failure, unless the run was
    stopped (a time limit stops the run as the platform would: no traceback)."""
    groups.close()
    if stopper.reason != "time":
        _show_traceback(error, sys.stderr)
    if stopper.reason:
        return
    outcome.failure = "the notebook failed in cell %d (In [%s]) with %s; its traceback is above" % (
        index + 1, cell.get("execution_count") or "?", error.get("ename"))
    records.error = error.get("ename")


async def _setup(client, bundle, records_path):
    msg_id = await _maybe(client.kc.execute(_setup_code(bundle, records_path), silent=True, store_history=False))
    reply = await client.async_wait_for_reply(msg_id)
    return (reply or {}).get("content", {})


async def _execute(client, km, cell, index, records, stopper, groups):
    """Runs one cell, showing progress and watching for a stop. Returns None when the cell
    ended by itself, "killed" when the kernel had to be stopped outright, "died" when the
    kernel ended on its own."""
    from nbclient.exceptions import DeadKernelError

    task = asyncio.ensure_future(client.async_execute_cell(cell, index, execution_count=client.code_cells_executed + 1))
    interrupted_at = None
    killed = False
    while not task.done():
        await asyncio.wait([task], timeout=0.1)
        records.refresh(groups)
        reason = stopper.check()
        if reason and interrupted_at is None and not task.done():
            interrupted_at = clock()
            await _maybe(km.interrupt_kernel())  # SIGINT to the kernel: KeyboardInterrupt in the cell
        elif interrupted_at is not None and not killed and not task.done() and stopper.overdue(interrupted_at):
            killed = True
            await _maybe(km.shutdown_kernel(now=True))
            task.cancel()
    records.refresh(groups)
    try:
        task.result()
    except (asyncio.CancelledError, DeadKernelError):
        return "killed" if killed else "died"
    return "killed" if killed else None
