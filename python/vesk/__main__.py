"""The `vesk` command.

    vesk run [options] script.py [args...]     run a program as python would, and record it
    vesk run [options] -m module [args...]
    vesk traces                                list recorded traces, newest first
    vesk show TRACE|latest                     the call tree of a trace, per thread
    vesk export TRACE --format json|chrome|otlp|otlp-protobuf   the decoded trace, Chrome trace-event JSON, OTLP
    vesk export TRACE --otlp-endpoint URL      send the trace's spans to an OpenTelemetry collector
    vesk prune [--max-traces N] [--max-bytes SIZE]   remove the oldest traces beyond the limits
    vesk rm TRACE...                           remove traces
    vesk recover                               import the files traces went to when the database failed
    vesk push TRACE...|--all --to URL          copy local traces to a shared store
    vesk serve [--host H] [--port N] [--open]  browse the traces in a local web page

The functions that run the program live in this file because the engine never records frames of it.

Everything `vesk run` needs before the program starts is imported at its first use, or is small:
argparse, datetime, zipfile, dataclasses and their like would be most of its start-up time.
"""

from __future__ import annotations

import builtins
import io
import os
import sys
import types
import zipimport

from vesk import config as vesk_config
from vesk import storage, utils
from vesk.version import __version__

USAGE_STATUS = 2


class UsageError(utils.VeskError):
    status = USAGE_STATUS


RUN_USAGE = """\
usage: vesk run [options] script.py [args...]
       vesk run [options] -m module [args...]

Runs the program exactly as python would (sys.argv, __main__, sys.path[0], exit status) and saves
one trace of it.

options:
  --db PATH|URL         database to save the trace in: an SQLite file or postgresql://user@host/db
                        (default: $VESK_DB, else the configuration's db_url or db_path, .vesk/db.sqlite3)
  --config PATH         configuration file (default: .vesk/config.toml, when present)
  --threading           record threads started by the program (the default)
  --no-threading        record the main thread only
  --lightweight-repr    show objects by type and identity only; never call their __repr__
  --include FRAGMENT    record files whose path contains FRAGMENT even if filtered (repeatable)
  --ignore FRAGMENT     never record files whose path contains FRAGMENT (repeatable)
  --no-plugin NAME      switch a built-in plugin off (repeatable): {plugins}
  --children            also record child processes that start a new interpreter (multiprocessing's
                        spawn and forkserver, subprocesses running Python), each as a trace of its
                        own, through variables of the environment they inherit (PYTHONPATH,
                        VESK_RECORD_CHILD, VESK_PARENT_TRACE); forked children always get traces
                        of their own
  --strict              exit with status 1 when the trace cannot be saved in the database and the
                        program itself exited with 0 (by default the exit status is the program's)
"""


class RunOptions:
    def __init__(self) -> None:
        self.config_file: str | None = None
        self.db_path: str | None = None
        self.overrides: dict = {}
        self.module: str | None = None
        self.script: str | None = None
        self.arguments: list[str] = []
        self.strict = False
        self.children = False

    def __repr__(self) -> str:
        return f"RunOptions({vars(self)!r})"


# Parsed by hand rather than by argparse, which the program would pay for at every start: importing
# it (gettext comes along) made `vesk run` of an empty script 11 ms slower (the median difference of
# 30 runs each way, taken in turns, on a busy 2-core machine where the whole run took 400 ms).
def parse_run_arguments(argv: list[str]) -> RunOptions:
    """Options of `vesk run` end at the program: everything after it belongs to the program."""
    options = RunOptions()
    filters: dict[str, list[str]] = {}
    plugins: dict[str, bool] = {}
    position = 0

    def value_of(option: str) -> str:
        nonlocal position
        position += 1
        if position >= len(argv):
            raise UsageError(f"{option} needs a value")
        return argv[position]

    while position < len(argv):
        argument = argv[position]
        if argument in ("-h", "--help"):
            print(RUN_USAGE.format(plugins=", ".join(vesk_config.PLUGIN_NAMES)), end="")
            raise SystemExit(0)
        if argument == "--":
            position += 1
            break
        if argument == "-m":
            options.module = value_of("-m")
            options.arguments = argv[position + 1 :]
            break
        if argument.startswith("-m") and len(argument) > 2 and not argument.startswith("--"):
            options.module = argument[2:]
            options.arguments = argv[position + 1 :]
            break
        if not argument.startswith("-") or argument == "-":
            break
        name, has_value, inline = argument.partition("=")
        if name in ("--db", "--config", "--include", "--ignore", "--no-plugin"):
            value = inline if has_value else value_of(name)
            if name == "--db":
                options.db_path = value
            elif name == "--config":
                options.config_file = value
            elif name == "--no-plugin":
                if value not in vesk_config.PLUGIN_NAMES:
                    raise UsageError(
                        f"unknown plugin {value!r} (known: {', '.join(vesk_config.PLUGIN_NAMES)})"
                    )
                plugins[value] = False
            else:
                key = "include_frames" if name == "--include" else "ignore_frames"
                filters.setdefault(key, []).append(value)
        elif argument in ("--threading", "--no-threading"):
            options.overrides["threading"] = argument == "--threading"
        elif argument == "--lightweight-repr":
            options.overrides["lightweight_repr"] = True
        elif argument in ("--strict", "--children"):
            setattr(options, argument[2:], True)
        else:
            raise UsageError(f"unknown option {argument!r} for vesk run (see vesk run --help)")
        position += 1
    else:
        position = len(argv)
    if options.module is None:
        if position >= len(argv):
            raise UsageError("vesk run needs a script or -m module (see vesk run --help)")
        options.script = argv[position]
        options.arguments = argv[position + 1 :]
    if options.module == "":
        raise UsageError("-m needs a module name")
    if filters:
        options.overrides["filters"] = filters
    if plugins:
        options.overrides["plugins"] = plugins
    return options


# --- running the program --------------------------------------------------------------------------


def _is_zip_archive(path: str) -> bool:
    # The test python itself makes for `python archive.zip` (its path hook for a file is zipimport,
    # loaded at every interpreter start); zipfile would cost as much as the rest of vesk's start-up.
    if not os.path.isfile(path):
        return False
    try:
        zipimport.zipimporter(path)
    except (zipimport.ZipImportError, OSError):
        return False
    return True


def _runs_from_path_entry(absolute: str) -> bool:
    """Whether python runs this path as a directory or archive with a __main__ module in it."""
    return os.path.isdir(absolute) or _is_zip_archive(absolute)


def _script_runner(path: str):
    """Reads and compiles the script now, so that a missing file is a usage error, not a trace."""
    absolute = os.path.abspath(path)
    if _runs_from_path_entry(absolute):
        import runpy

        return lambda: runpy.run_path(absolute, run_name="__main__")
    try:
        with io.open_code(absolute) as handle:
            source = handle.read()
    except OSError as exc:
        raise UsageError(f"can't open file {path!r}: [Errno {exc.errno}] {exc.strerror}") from None

    import importlib.machinery

    def run() -> None:
        code = compile(source, absolute, "exec", dont_inherit=True)
        module = types.ModuleType("__main__")
        module.__file__ = absolute
        module.__cached__ = None
        module.__builtins__ = builtins
        module.__loader__ = importlib.machinery.SourceFileLoader("__main__", absolute)
        sys.modules["__main__"] = module
        from vesk import _vesk

        _vesk.exec_program(code, module.__dict__)  # its module frame has no caller, as under python

    return run


def _module_runner(name: str):
    import importlib.util
    import runpy

    try:
        spec = importlib.util.find_spec(name)
        if spec is not None and spec.submodule_search_locations is not None:
            if importlib.util.find_spec(name + ".__main__") is None:
                raise UsageError(f"no module named {name}.__main__; {name!r} is a package and cannot be run")
    except (ImportError, ValueError) as exc:
        raise UsageError(f"cannot find module {name!r}: {exc}") from None
    if spec is None:
        raise UsageError(f"no module named {name!r}")
    return lambda: runpy.run_module(name, run_name="__main__", alter_sys=True)


def _our_files() -> set[str]:
    files = {os.path.abspath(__file__)}
    runpy = sys.modules.get("runpy")  # when it was never imported, none of its frames is on the stack
    if runpy is not None and getattr(runpy, "__file__", None):
        files.add(os.path.abspath(runpy.__file__))
    return files


def _print_uncaught(exc: BaseException) -> None:
    """Prints the exception as python would: without the frames of vesk and runpy on top."""
    ours = _our_files()
    tb = exc.__traceback__
    while tb is not None and os.path.abspath(tb.tb_frame.f_code.co_filename) in ours:
        tb = tb.tb_next
    exc.__traceback__ = tb
    sys.excepthook(type(exc), exc, tb)


def _exit_status(exc: SystemExit) -> int:
    code = exc.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code & 0xFF if code >= 0 else code % 256
    print(code, file=sys.stderr)
    return 1


class _ProgramInterrupted(Exception):
    """The program ended on an uncaught KeyboardInterrupt, whose traceback is printed: `main` raises
    a KeyboardInterrupt (of that very class: the interpreter tells it by its class) for the
    interpreter to end the process by SIGINT after its exit functions, as it ends python's."""


def _quiet_excepthook(*exc_info) -> None:
    pass


def run_program(options: RunOptions) -> int:
    """The program's exit status, whatever became of its trace (unless `options.strict`)."""
    from vesk import profiler

    settings = profiler.prepare_settings(
        ".", config_file=options.config_file, db_path=options.db_path, overrides=options.overrides
    )
    if options.module is not None:
        sys.path[0] = os.getcwd()
        runner = _module_runner(options.module)
        sys.argv = [options.module, *options.arguments]
    else:
        absolute = os.path.abspath(options.script)
        inside = _runs_from_path_entry(absolute)
        sys.path[0] = absolute if inside else os.path.dirname(os.path.realpath(absolute))
        runner = _script_runner(options.script)
        sys.argv = [options.script, *options.arguments]

    host = profiler.Profiler(settings, source="cli")
    shown_db_path = storage.describe(host.db_path)  # before the program can change directory
    started_in = os.getpid()
    profiler.save_before_exit(host)  # also when the program ends through os._exit
    profiler.save_on_termination()
    profiler.save_before_exec()
    if options.children:
        profiler.record_new_interpreters(settings, host)
    status, uncaught = _run_recorded(host, runner)
    try:
        sys.stdout.flush()  # the program's output before our line
    except OSError:
        pass  # the interpreter's own flush at exit reports it, as it would under python
    saved = _save_trace(host, shown_db_path, settings["limits"], quiet=os.getpid() != started_in)
    if options.strict and not saved:
        status = status or 1
    if isinstance(uncaught, KeyboardInterrupt):
        raise _ProgramInterrupted
    return status


def _run_recorded(host, runner) -> tuple[int, BaseException | None]:
    """Runs the program with recording on: its exit status, and the exception it ended on."""
    from vesk import profiler

    status = 0
    uncaught: BaseException | None = None
    host.start()
    try:
        try:
            runner()
        except SystemExit as exc:
            status = _exit_status(exc)
        except BaseException as exc:  # noqa: BLE001 - printed and recorded like python does
            uncaught = exc
            status = 130 if isinstance(exc, KeyboardInterrupt) else 1
            _print_uncaught(exc)
        try:
            utils.wait_for_threads()
        except KeyboardInterrupt:
            status = 130
        # The program is over: its daemon threads record (and save) no more, so that finalisation,
        # which ends them wherever they are, finds none inside the engine.
        getattr(profiler._engine(), "stop_other_threads_for_exit", lambda: None)()
        host.resume()  # the exit is recorded even where the program took the profile function away
        profiler.vesk_program_exit(status, uncaught)
    finally:
        host.stop()
    return status, uncaught


def _save_trace(host, shown_db_path: str, limits: dict, *, quiet: bool = False) -> bool:
    """Saves the rest of the trace and says in one line where it went; whether all of it is in the
    database. `quiet` (a forked child) says nothing when all went well."""
    from vesk import profiler

    failure = profiler.save_and_report(host, limits)
    if failure or quiet:
        return not failure
    try:
        summary = storage.open_store(host.db_path).trace_summary(host.trace_id)
    except Exception:  # noqa: BLE001 - saved all the same; only the counts cannot be read back
        utils.stderr_line(f"vesk: trace {host.trace_id} saved in {shown_db_path}")
        return True
    utils.stderr_line(
        f"vesk: trace {host.trace_id}: {summary.frame_count} frame records, "
        f"{summary.plugin_count} plugin records, saved in {shown_db_path}"
    )
    return True


# --- reading traces -------------------------------------------------------------------------------


def _database_options(parser) -> None:
    parser.add_argument(
        "--db", metavar="PATH|URL",
        help="database: an SQLite file or postgresql://user@host/db (default: $VESK_DB, else .vesk/db.sqlite3)",
    )
    parser.add_argument("--config", metavar="PATH", help="configuration file")


def _store(arguments) -> storage.Store:
    if arguments.db:
        return storage.open_store(storage.resolve(arguments.db))
    return storage.open_store(vesk_config.load(".", arguments.config)["db_path"])


def _time_text(seconds: float | None) -> str:
    if seconds is None:
        return "?"
    import datetime

    return datetime.datetime.fromtimestamp(seconds).strftime("%Y-%m-%d %H:%M:%S")


def list_command(arguments) -> int:
    from vesk.serve import listing

    store = _store(arguments)
    summaries = store.list_traces()
    if arguments.source is not None:
        summaries = [summary for summary in summaries if listing.of_source(summary, arguments.source)]
    for name in ("machine", "ci_job"):
        wanted = getattr(arguments, name)
        if wanted is not None:
            summaries = [summary for summary in summaries if wanted in (getattr(summary, name) or "")]
    if arguments.grep is not None:
        wanted = arguments.grep.lower()
        summaries = [summary for summary in summaries if wanted in listing.list_text(summary)]
    # How each ended is read from its last documents (kept beside the database once read): only
    # for the traces listed.
    outcomes = listing.Outcomes(store)
    if arguments.failed:
        ended = outcomes.of(summaries)
        summaries = [summary for summary in summaries if ended[summary.trace_id].failed]
    if arguments.limit is not None:
        summaries = summaries[: arguments.limit]
    if not summaries:
        print(f"no traces {'match' if _filtered(arguments) else 'in'} {store.describe()}")
        return 0
    ended = outcomes.of(summaries)
    families = _families(summaries)
    width = 30 + 2 * max(depth for _, depth in families)
    print(f"{'TRACE':<{width}}  {'SAVED':<19}  {'SOURCE':<7}  {'OUTCOME':<16}  {'DURATION':>10}  {'FRAMES':>7}  "
          f"{'PLUGIN':>6}  WHAT")
    for summary, depth in families:
        what = summary.label or " ".join(summary.command_line)
        outcome = ended[summary.trace_id]
        print(
            f"{'  ' * depth + summary.trace_id:<{width}}  {_time_text(summary.saved_at):<19}  "
            f"{summary.source or '?':<7}  {_cell(outcome.text or '?', 16):<16}  "
            f"{_duration_text(listing.seconds_of(summary, outcome)):>10}  {summary.frame_count:>7}  "
            f"{summary.plugin_count:>6}  {what}"
        )
    return 0


def _cell(shown: str, width: int) -> str:
    return shown if len(shown) <= width else shown[: width - 1] + "…"


def _filtered(arguments) -> bool:
    given = (arguments.source, arguments.grep, arguments.machine, arguments.ci_job)
    return arguments.failed or any(value is not None for value in given)


def _duration_text(seconds: float | None) -> str:
    from vesk.reading import text

    return text.milliseconds(seconds) if seconds is not None else "?"


def _families(summaries: list) -> list[tuple[object, int]]:
    """The traces in their order, each child process's trace moved under its parent's (when that is
    listed), with its depth in the family."""
    listed = {summary.trace_id for summary in summaries}
    children: dict[str, list] = {}
    for summary in summaries:
        if summary.parent_trace_id in listed:
            children.setdefault(summary.parent_trace_id, []).append(summary)
    roots = [summary for summary in summaries if summary.parent_trace_id not in listed]
    ordered: list[tuple[object, int]] = []
    placed: set[str] = set()
    pending = [(summary, 0) for summary in reversed(roots)]
    while pending:
        summary, depth = pending.pop()
        if summary.trace_id in placed:
            continue
        placed.add(summary.trace_id)
        ordered.append((summary, depth))
        pending.extend((child, depth + 1) for child in reversed(children.get(summary.trace_id, [])))
    # Links that go round in a circle (only a damaged database has them) reach no root.
    ordered.extend((summary, 0) for summary in summaries if summary.trace_id not in placed)
    return ordered


def _record_stream(arguments):
    from vesk.reading.records import Progress, RecordStream

    store = _store(arguments)
    trace_id = store.resolve_trace_id(arguments.trace)
    summary = store.trace_summary(trace_id)
    stream = RecordStream(store, trace_id, Progress(trace_id, summary.document_count))
    stream.program_time = not arguments.raw_times
    return stream, summary


def _family_lines(store: storage.Store, summary) -> list[str]:
    lines = []
    if summary.parent_trace_id:
        lines.append(f"child process of trace {summary.parent_trace_id}")
    children = store.child_traces(summary.trace_id)
    if children:
        lines.append(f"child processes' traces: {', '.join(children)}")
    return lines


def show_command(arguments) -> int:
    from vesk.reading import tree

    stream, summary = _record_stream(arguments)
    _check_selection(arguments, stream.store, summary)
    options = tree.ShowOptions(
        depth=arguments.depth,
        thread=arguments.thread,
        function=arguments.function,
        frame=arguments.frame,
        limit=arguments.limit,
        summary=not arguments.no_summary,
        tasks=arguments.tasks,
    )
    try:
        header = tree.header_lines(summary) + _family_lines(stream.store, summary)
        tree.show(stream, header, options, sys.stdout)
    finally:
        stream.progress.done()
    return 0


def _check_selection(arguments, store: storage.Store, summary) -> None:
    """A frame or thread the trace lacks is an error found at once where the viewer's index of the
    trace is complete, rather than after a read of the whole trace."""
    from vesk.serve import index

    error = index.missing(store, summary.trace_id, summary.document_count, arguments.frame,
                          arguments.thread)
    if error is not None:
        raise utils.VeskError(error)


def export_command(arguments) -> int:
    from vesk.reading import exports, otlp

    if arguments.format is None and arguments.otlp_endpoint is None:
        raise UsageError("vesk export needs --format or --otlp-endpoint (see vesk export --help)")
    stream, summary = _record_stream(arguments)
    if arguments.otlp_endpoint is not None:
        try:
            requests = otlp.post(stream, summary, arguments.otlp_endpoint)
        finally:
            stream.progress.done()
        utils.stderr_line(f"vesk: trace {summary.trace_id} sent to {arguments.otlp_endpoint} in {requests} "
                          f"request{'' if requests == 1 else 's'}")
        return 0
    export = {"json": exports.export_json, "chrome": exports.export_chrome, "otlp": otlp.export_json,
              "otlp-protobuf": otlp.export_protobuf}[arguments.format]
    binary = arguments.format == "otlp-protobuf"
    try:
        if arguments.output in (None, "-"):
            export(stream, summary, sys.stdout.buffer if binary else sys.stdout)
        else:
            _export_to_file(export, stream, summary, arguments.output, binary)
    finally:
        stream.progress.done()
    return 0


def _export_to_file(export, stream, summary, output: str, binary: bool) -> None:
    try:
        descriptor = utils.open_private(output)
        handle = open(descriptor, "wb") if binary else open(descriptor, "w", encoding="utf-8")
    except OSError as exc:
        raise utils.VeskError(f"cannot write {output}: {exc.strerror}") from None
    try:
        with handle:
            export(stream, summary, handle)
    except OSError as exc:
        os.unlink(output)
        raise utils.VeskError(f"cannot write {output}: {exc.strerror}") from None
    except BaseException:
        os.unlink(output)  # half an export is no JSON
        raise


def serve_command(arguments) -> int:
    from vesk.serve import server

    return server.serve(_store(arguments), arguments.host, arguments.port, arguments.open)


# --- keeping the database -------------------------------------------------------------------------

_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def _size_argument(text: str) -> int:
    """Bytes from "1500000", "500M", "2G", "2GiB" or "1.5GB": K, M, G and T count in 1024s."""
    import argparse
    import math

    number = text.strip().upper().removesuffix("B").removesuffix("I")
    unit = number[-1:] if number[-1:] in _SIZE_UNITS else ""
    try:
        value = float(number[: len(number) - len(unit)]) * _SIZE_UNITS[unit]
    except ValueError:
        value = math.nan
    if not 0 <= value < math.inf:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (bytes, or e.g. 500M, 2G)")
    return int(value)


def _limit_argument(text: str) -> int:
    import argparse

    if not text.isdecimal():
        raise argparse.ArgumentTypeError(f"not a count: {text!r}")
    return int(text)


def _traces_text(count: int) -> str:
    return f"{count} trace{'' if count == 1 else 's'}"


def _removal_line(removal) -> str:
    done = (
        f"removed {_traces_text(removal.removed_traces)} ({utils.size_text(removal.removed_bytes)})"
        if removal.removed_traces
        else "nothing removed"
    )
    return f"{done}; {_traces_text(removal.kept_traces)}, {utils.size_text(removal.kept_bytes)} kept"


def _noticed_if_slow(text: str, work):
    """`work()`, saying `text` on stderr when it takes more than a moment (a large database)."""
    import threading

    notice = threading.Timer(1.5, utils.stderr_line, args=(f"vesk: {text}",))
    notice.daemon = True
    notice.start()
    try:
        return work()
    finally:
        notice.cancel()


def prune_command(arguments) -> int:
    if arguments.db:
        store, limits = storage.open_store(storage.resolve(arguments.db)), {}
    else:
        settings = vesk_config.load(".", arguments.config)
        store, limits = storage.open_store(settings["db_path"]), settings.get("retention", {})
    max_traces = limits.get("max_traces") if arguments.max_traces is None else arguments.max_traces
    max_bytes = limits.get("max_bytes") if arguments.max_bytes is None else arguments.max_bytes
    removal = _noticed_if_slow(
        f"pruning {store.describe()}...",
        lambda: store.apply_retention(max_traces=max_traces, max_bytes=max_bytes),
    )
    print(_removal_line(removal))
    return 0


def remove_command(arguments) -> int:
    store = _store(arguments)
    trace_ids = [store.resolve_trace_id(text) for text in arguments.traces]
    removal = _noticed_if_slow(f"removing traces from {store.describe()}...", lambda: store.remove_traces(trace_ids))
    print(_removal_line(removal))
    return 0


def recover_command(arguments) -> int:
    store = _store(arguments)
    recovery = _noticed_if_slow("importing fallback files...", store.recover_fallback_files)
    documents = f"{recovery.documents} document{'s' if recovery.documents != 1 else ''}"
    print(f"imported {documents} into {store.describe()}")
    for damaged in recovery.damaged:
        utils.stderr_line(f"vesk: {utils.display_path(damaged)} is not a trace document; left where it is")
    return 1 if recovery.damaged else 0


def push_command(arguments) -> int:
    from vesk.storage import transfer

    settings = vesk_config.load(".", arguments.config)
    source = storage.open_store(storage.resolve(arguments.db) if arguments.db else settings["db_file"])
    destination = arguments.to or (settings["db_path"] if storage.is_url(settings["db_path"]) else None)
    if destination is None:
        raise UsageError("name the store to push to: --to postgresql://... (or set VESK_DB)")
    destination = storage.open_store(storage.resolve(destination), timeout=settings["sqlite_busy_timeout"])
    if destination.location == source.location:
        raise UsageError(f"{source.describe()} is the store the traces are in")
    trace_ids = _pushed_traces(arguments, source)
    pushed = _noticed_if_slow(
        f"pushing {_traces_text(len(trace_ids))} to {destination.describe()}...",
        lambda: transfer.push(source, destination, trace_ids, timeout=settings["sqlite_busy_timeout"]),
    )
    present = f"; {_traces_text(pushed.present)} there already" if pushed.present else ""
    documents = f"{pushed.documents} document{'' if pushed.documents == 1 else 's'}"
    print(f"pushed {_traces_text(pushed.traces)} ({documents}) to {destination.describe()}{present}")
    return 0


def _pushed_traces(arguments, source: storage.Store) -> list[str]:
    """The traces named, or those the filters let through, the oldest first (as they were saved)."""
    from vesk.serve import listing

    if arguments.traces:
        if arguments.all or arguments.source or arguments.grep:
            raise UsageError("name traces, or choose them with --all, --source or --grep, not both")
        return list(dict.fromkeys(source.resolve_trace_id(text) for text in arguments.traces))
    if not (arguments.all or arguments.source or arguments.grep):
        raise UsageError("name the traces to push, or choose them with --all, --source or --grep")
    summaries = source.list_traces()
    if arguments.source is not None:
        summaries = [summary for summary in summaries if listing.of_source(summary, arguments.source)]
    if arguments.grep is not None:
        summaries = [summary for summary in summaries if arguments.grep.lower() in listing.list_text(summary)]
    return [summary.trace_id for summary in reversed(summaries)]


def _reading_parser():
    import argparse

    class _Parser(argparse.ArgumentParser):
        def error(self, message: str) -> None:  # one line, no usage block
            raise UsageError(f"{message} (see {self.prog} --help)")

    parser = _Parser(prog="vesk", description="A tracing profiler for Python programs.")
    parser.add_argument("--version", action="version", version=f"vesk {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.add_parser("run", help="run a program and record it (see vesk run --help)", add_help=False)
    traces = commands.add_parser("traces", help="list traces, newest first")
    _database_options(traces)
    traces.add_argument("-n", "--limit", type=int, help="list at most this many")
    traces.add_argument("--failed", action="store_true", help="only traces that failed (exit status, test, HTTP 5xx)")
    traces.add_argument("--source", metavar="NAME", help="only traces of this source (run, test, request, child...)")
    traces.add_argument("--grep", metavar="TEXT", help="only traces whose id, label or command line holds TEXT")
    traces.add_argument("--machine", metavar="TEXT", help="only traces recorded on a machine whose name holds TEXT")
    traces.add_argument("--ci-job", metavar="TEXT", help="only traces recorded by a CI job whose name holds TEXT")
    show = commands.add_parser("show", help="print the call tree of a trace")
    show.add_argument("trace", help="trace id, a unique prefix of one, or 'latest'")
    show.add_argument(
        "--depth", type=_limit_argument, metavar="N", help="print calls down to this depth only (0: any depth)"
    )
    show.add_argument("--thread", metavar="NAME|ID", help="only the thread of this name or native id")
    show.add_argument("--function", metavar="TEXT", help="only calls whose name contains TEXT, with what they call")
    show.add_argument("--frame", metavar="FRAME_ID", help="only this call, with what it calls")
    show.add_argument(
        "--limit", type=_limit_argument, default=200, metavar="N",
        help="at most N lines per thread (default 200; 0: all)",
    )
    show.add_argument("--no-summary", action="store_true", help="leave out the summary of a long trace")
    show.add_argument("--tasks", action="store_true", help="the calls of each asyncio task as a tree of its own")
    _raw_times_option(show)
    _database_options(show)
    export = commands.add_parser(
        "export", help="write a trace as JSON, Chrome trace-event JSON or OpenTelemetry spans (OTLP)"
    )
    export.add_argument("trace", help="trace id, a unique prefix of one, or 'latest'")
    export.add_argument(
        "--format", choices=("json", "chrome", "otlp", "otlp-protobuf"),
        help="otlp: OTLP/JSON; otlp-protobuf: OTLP protobuf (ExportTraceServiceRequest messages)",
    )
    export.add_argument(
        "--otlp-endpoint", metavar="URL", help="send the trace's spans over OTLP/HTTP, e.g. http://127.0.0.1:4318"
    )
    export.add_argument("-o", "--output", metavar="FILE", help="write here instead of to stdout")
    _raw_times_option(export)
    _database_options(export)
    prune = commands.add_parser(
        "prune",
        help="remove the least recently saved traces beyond the limits",
        description="Without limits given, those of the configuration's [retention] table apply (with --db, "
        "those the database was last recorded with).",
    )
    prune.add_argument("--max-traces", type=_limit_argument, metavar="N", help="keep at most N traces (0: any number)")
    prune.add_argument(
        "--max-bytes",
        type=_size_argument,
        metavar="SIZE",
        help="keep at most SIZE of documents, e.g. 500M, 2G (0: any)",
    )
    _database_options(prune)
    remove = commands.add_parser("rm", help="remove traces")
    remove.add_argument("traces", nargs="+", metavar="TRACE", help="trace id, a unique prefix of one, or 'latest'")
    _database_options(remove)
    recover = commands.add_parser("recover", help="import the files traces went to when the database failed")
    _database_options(recover)
    push = commands.add_parser(
        "push",
        help="copy local traces to a shared store",
        description="Copies traces from this machine's database (--db, or the configuration's db_path) to the "
        "store --to names (or VESK_DB, or the configuration's db_url). Traces it holds already are left alone.",
    )
    push.add_argument("traces", nargs="*", metavar="TRACE", help="trace id, a unique prefix of one, or 'latest'")
    push.add_argument("--to", metavar="URL", help="the store to push to: postgresql://user@host/db")
    push.add_argument("--all", action="store_true", help="every trace")
    push.add_argument("--source", metavar="NAME", help="the traces of this source (run, test, request, child...)")
    push.add_argument("--grep", metavar="TEXT", help="the traces whose id, label or command line holds TEXT")
    _database_options(push)
    serve = commands.add_parser("serve", help="browse the traces in a web page served on this machine")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    serve.add_argument("--port", type=_limit_argument, default=8765, help="port (default: 8765; 0: any free port)")
    serve.add_argument("--open", action="store_true", help="open the page in a web browser")
    _database_options(serve)
    return parser


def _raw_times_option(parser) -> None:
    parser.add_argument(
        "--raw-times", action="store_true",
        help="times as the clock read them, vesk's own time left in (by default it is taken out)",
    )


def _check_working_directory() -> None:
    # The configuration and the database are found from it: without it, every path vesk reads fails.
    try:
        os.getcwd()
    except OSError as exc:
        raise utils.VeskError(f"the working directory cannot be read ({exc.strerror})") from None


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        _check_working_directory()
        if argv and argv[0] == "run":
            return run_program(parse_run_arguments(argv[1:]))
        arguments = _reading_parser().parse_args(argv)
        if arguments.command is None:
            _reading_parser().print_help()
            return USAGE_STATUS
        handler = {"traces": list_command, "show": show_command, "export": export_command}
        handler.update(prune=prune_command, rm=remove_command, recover=recover_command, serve=serve_command)
        handler.update(push=push_command)
        return handler[arguments.command](arguments)
    except utils.VeskError as exc:
        utils.stderr_line(utils.error_line(str(exc)))
        return getattr(exc, "status", 1)
    except BrokenPipeError:
        # `vesk show latest | head`: the reader left; nothing more to say.
        sys.stderr.close()
        return 1
    except _ProgramInterrupted:
        sys.excepthook = _quiet_excepthook
        raise KeyboardInterrupt from None
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
