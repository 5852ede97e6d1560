"""The korvan-models command: build or check a project folder of model schemas."""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Callable
from pathlib import Path

from korvan_models.errors import Terminated, on_interrupt, received

EXAMPLE = """\
example:
  korvan-models build examples/library --out out
      checks the project, generates one module per model into out/models/, creates the
      tables, stores the fixtures and copies static files; out/ changes only on success.
  korvan-models check examples/library
      checks the project and writes nothing.

exit status: 0 done, 2 mistakes in the project (one line each), 1 failure of the tool or of
the machine (a full disk, say), 130 interrupted (Ctrl-C), 143 terminated (SIGTERM).
"""

EXIT_OK, EXIT_TOOL, EXIT_PROJECT = 0, 1, 2
EXIT_INTERRUPTED, EXIT_TERMINATED = 128 + 2, 128 + 15


def version() -> str:
    """The installed package version."""
    from importlib import metadata

    try:
        return metadata.version("korvan-models")
    except metadata.PackageNotFoundError:
        return "unknown"


class ShowVersion(argparse.Action):
    """Prints the installed version and exits; the version is looked up only when asked for."""

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"{parser.prog} {version()}")
        parser.exit()


def positive(text: str) -> int:
    """An argument that must be a whole number of at least one."""
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text!r}")
    return number


def database_option(text: str) -> tuple[str, str]:
    """``ALIAS=URL``: a known database alias and a URL SQLAlchemy can read."""
    from korvan_data.aliases.using import ALL_DB_ALIASES

    alias, sep, url = text.partition("=")
    if not sep or alias not in ALL_DB_ALIASES:
        raise argparse.ArgumentTypeError(f"expected ALIAS=URL with ALIAS one of {', '.join(ALL_DB_ALIASES)}")
    return alias, checked_url(url)


def checked_url(url: str) -> str:
    """``url`` if SQLAlchemy can read it as a database URL."""
    import sqlalchemy as sa

    try:
        sa.make_url(url)
    except (sa.exc.ArgumentError, ValueError):
        # The URL is not echoed: it may hold a password.
        raise argparse.ArgumentTypeError("not a database URL (dialect+driver://user@host/database)") from None
    return url


def given_databases(args: argparse.Namespace) -> dict[str, str]:
    """The databases named by ``KORVAN_DATABASE_<ALIAS>``, then by ``--database`` (which wins)."""
    import os

    from korvan_data.aliases.using import ALL_DB_ALIASES
    from korvan_utils.config.manager import database_env

    databases = {}
    for alias in ALL_DB_ALIASES:
        url = os.environ.get(database_env(alias))
        if url:
            try:
                databases[alias] = checked_url(url)
            except argparse.ArgumentTypeError as error:
                raise SystemExit(f"korvan-models: {database_env(alias)}: {error}") from None
    databases.update(getattr(args, "database", []))
    return databases


def parser() -> argparse.ArgumentParser:
    """The command line: options may come before or after the command."""
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--quiet", "-q", action="store_true", default=argparse.SUPPRESS,
                        help="print only warnings and problems")
    common.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help="show full tracebacks of failures")
    common.add_argument("--jobs", "-j", type=positive, default=argparse.SUPPRESS, metavar="N",
                        help="processes that generate classes (default: the cores other work leaves free)")
    main = argparse.ArgumentParser(
        prog="korvan-models", parents=[common], epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Build the model classes, tables and fixtures of a project folder.",
    )
    main.add_argument("--version", action=ShowVersion, nargs=0, help="show the version and exit")
    commands = main.add_subparsers(dest="command", required=True, metavar="COMMAND")
    build = commands.add_parser("build", parents=[common], help="check and build a project",
                                epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    build.add_argument("project", type=Path, help="project folder holding models/<name>/model.json")
    build.add_argument("--out", "-o", type=Path, default=Path("out"), help="output folder (default: out)")
    build.add_argument("--database", type=database_option, action="append", default=[], metavar="ALIAS=URL",
                       help="store the tables and fixtures of a database alias (default, lakehouse) at a SQLAlchemy "
                            "URL, written without its password into OUT/settings.json (repeatable; also "
                            "KORVAN_DATABASE_DEFAULT / KORVAN_DATABASE_LAKEHOUSE)")
    build.add_argument("--no-wait", action="store_true",
                       help="fail at once when another build is writing the output folder (default: wait for it)")
    check = commands.add_parser("check", parents=[common], help="check a project; writes nothing",
                                epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    check.add_argument("project", type=Path, help="project folder holding models/<name>/model.json")
    check.add_argument("--out", "-o", type=Path, default=Path("out"),
                       help="the build output whose stored records fixture references may name, as a build "
                            "into it would (default: out; read only)")
    build.add_argument("--watch", "-w", action="store_true",
                       help="after the build, rebuild whenever a project file changes (Ctrl-C ends)")
    schema = commands.add_parser("schema", parents=[common], help="write the editor schemas of model.json and option lists")
    schema.add_argument("project", type=Path, help="project folder holding models/<name>/model.json")
    schema.add_argument("--out", "-o", type=Path, default=None, metavar="FILE",
                        help="schema file ('-' prints it; default: PROJECT/.vscode/model.schema.json, mapped in "
                             "PROJECT/.vscode/settings.json)")
    docs = commands.add_parser("docs", parents=[common], help="write a static site describing the project's models")
    docs.add_argument("project", type=Path, help="project folder holding models/<name>/model.json")
    docs.add_argument("--out", "-o", type=Path, default=Path("site"), help="site folder (default: site)")
    return main


def run(args: argparse.Namespace, memo=None, served: bool = False, inputs=None) -> int:
    """Carries out one command; project mistakes surface as ``ProjectError``. ``served``: the build
    runs in a watching build's process for a command that handed it over after its early stop
    found something to do (``memo`` is the watcher's ``CheckMemo``, ``inputs`` what the command's
    early stop read)."""
    quiet = getattr(args, "quiet", False)

    def say(text: str) -> None:
        if not quiet:
            print(text, flush=True)

    if args.command == "schema":
        from korvan_models.tools.editor_schema import schema_command

        return schema_command(args.project, args.out, say)
    if args.command == "docs":
        from korvan_models.tools.site import write_site

        index, warnings = write_site(args.project, args.out)
        show_warnings(warnings)
        say(f"wrote {index}")
        return EXIT_OK
    if args.command == "build" and getattr(args, "watch", False):
        from korvan_models.tools.watch import watch

        return watch(args.project, args.out, getattr(args, "jobs", None), say, databases=given_databases(args),
                     given=list(args.database))
    if args.command == "build" and not served:
        said, inputs = unchanged_build(args, say)
        if said:
            return EXIT_OK
        status = handed_over(args, inputs)
        if status is not None:
            return status
    from korvan_models.pipeline import build_project, check_project

    if args.command == "check":
        from korvan_models.pipeline import ProjectError, store

        project = check_project(args.project)
        problems = store.project_reference_problems(project, args.out)
        if problems:
            raise ProjectError(problems)
        show_warnings(project.warnings)
        say(f"{args.project}: {counted(len(project.entries), 'model')}, no problems found")
        return EXIT_OK
    databases = given_databases(args)
    state = BuildState(args.project, list(getattr(args, "database", [])), databases, inputs, args.out)
    report = build_project(args.project, args.out, getattr(args, "jobs", None), say, databases,
                           wait=not args.no_wait, finished=state.record, memo=memo)
    show_warnings(report.project.warnings)
    for note in report.notes:
        say(note)
    if report.kept:
        say(f"kept {len(report.kept)} file(s) in {args.out} that the build did not write: {', '.join(report.kept)}")
    say(f"built {counted(len(report.project.entries), 'model')} into {args.out}")
    return EXIT_OK


def handed_over(args: argparse.Namespace, inputs=None) -> int | None:
    """The exit status of the build when a watching build of the same project and output ran it
    (its lines printed here), ``None`` when this command is to build itself."""
    from korvan_models import build_state

    argv = getattr(args, "argv", None)
    target = build_state.output_path(args.out)
    if argv is None or not os.path.lexists(target.parent / f".{target.name}.korvan-watch"):
        return None  # no watcher: nothing more is loaded
    from korvan_models.tools.watch_link import ask

    return ask(argv, args.project, args.out, list(args.database), getattr(args, "jobs", None),
               getattr(args, "quiet", False), inputs)


_served_parser: argparse.ArgumentParser | None = None


def served_build(argv: list[str], memo=None, inputs: dict | None = None) -> int:
    """Runs, in a watching build's process, the build of a command that handed it over: the same
    command line, the same messages, the same exit status (an interrupt of this process is raised).
    ``inputs`` are those the command's early stop read (``build_state.Inputs`` as a mapping)."""
    from korvan_models import build_state

    global _served_parser
    if _served_parser is None:  # a watching build serves many: the command line is made once
        _served_parser = parser()
    args = _served_parser.parse_args(argv)
    if args.command != "build" or args.watch:
        print("korvan-models: a watching build runs only a plain build handed to it", file=sys.stderr)
        return EXIT_TOOL
    args.argv = None
    try:
        read = build_state.Inputs(**inputs) if inputs is not None else None
    except TypeError:
        read = None
    try:
        return run(args, memo, served=True, inputs=read)
    except KeyboardInterrupt:
        raise
    except Exception as error:
        return failed(args, error)


def counted(number: int, noun: str) -> str:
    """``1 model``, ``2 models``."""
    return f"{number} {noun}{'' if number == 1 else 's'}"


def unchanged_build(args: argparse.Namespace, say: Callable[[str], None]) -> tuple[bool, object]:
    """Says what the last build said and returns ``True`` when a build now would change nothing
    (see ``build_state``), with the inputs as read on the way; nothing heavier than the standard
    library is loaded to find that out."""
    from korvan_models import build_state

    said, inputs = build_state.unchanged(args.project, args.out, list(getattr(args, "database", [])))
    if said is None:
        return False, inputs
    models = counted(said["models"], "model")
    say(f"checked {models} in {args.project}: nothing changed since the last build")
    say(f"generated 0 models, reused {said['models']}")
    show_warnings(said["warnings"])
    if said["records"]:
        say("fixtures unchanged since the last build: not stored again")
    if said["kept"]:
        say(f"kept {len(said['kept'])} file(s) in {args.out} that the build did not write: {', '.join(said['kept'])}")
    say(f"built {models} into {args.out}")
    return True, inputs


class BuildState:
    """Records, once a build is in place, what lets the next build with the same inputs stop early.

    The inputs are read before the build (or taken as the early stop read them), and looked at
    again after it: a project edited meanwhile (the build may have read either version) leaves no
    state, so the next build is a full one."""

    def __init__(self, project: Path, given: list, databases: dict[str, str], inputs=None, out: Path | None = None) -> None:
        """``given``: the databases named on the command line; ``databases``: those the build uses.
        Without ``inputs`` they are read now (the output ``out`` is then needed)."""
        from korvan_models import build_state

        self.project, self.databases = project, databases
        self.given = list(given)
        self.before = inputs
        if self.before is None and out is not None:
            try:
                self.before = build_state.read_inputs(project, build_state.output_path(out), self.given)
            except (build_state.NotSimple, OSError):
                self.before = None

    def record(self, target: Path, report) -> None:
        from korvan_models import build_state

        try:
            self._record(target, report)
        except Exception:  # a state is an optimisation: without one the next build is a full one
            build_state.forget(target)

    def _record(self, target: Path, report) -> None:
        from korvan_models import build_state

        prefix = f".{target.name}.korvan-"
        warnings = list(report.project.warnings)
        files = sqlite_files(target, self.databases)
        try:
            same = self.before is not None and build_state.still(self.project, self.before)
        except build_state.NotSimple:
            same = False
        # Warnings about leftovers beside the output are this build's alone.
        if not same or files is None or any(prefix in w for w in warnings):
            build_state.forget(target)
            return
        said = {"models": len(report.project.entries), "warnings": warnings, "kept": list(report.kept),
                "records": bool(report.project.records)}
        build_state.record(target, self.before, files, said)


def sqlite_files(target: Path, databases: dict[str, str]) -> list[str] | None:
    """The SQLite database files of a build into ``target``; ``None`` when a SQLite database is not a
    file (made anew by every build)."""
    from korvan_data.aliases.using import ALL_DB_ALIASES
    from korvan_models.pipeline import store
    from korvan_utils.config.manager import KorvanConfigManager

    files = []
    with store.databases_in_force(databases), store.settings_in_force(target):
        manager = KorvanConfigManager()
        for alias in ALL_DB_ALIASES:
            url = manager.get_database_url(alias)
            plain = store.plain_sqlite_file(url)
            if plain is None:
                import sqlalchemy as sa

                parsed = sa.make_url(url)
                if parsed.get_backend_name() != "sqlite":
                    continue
                plain = parsed.database
                if not plain or plain == ":memory:" or plain.startswith("file:"):
                    return None
            files.append(os.path.abspath(plain))
    return files


def load_project(project: Path) -> list:
    """The checked schemas of a project folder, option lists and custom code filled in."""
    from korvan_models.pipeline import check_project

    return check_project(Path(project)).schemas


def generate(schemas: list, output: Path, out=None) -> None:
    """Writes the models package of ``schemas`` into ``output/models``, one progress line per model."""
    from korvan_models.classes.data_models.dependencies import DependencyModelNames, render_models_init
    from korvan_models.pipeline import MODELS_PACKAGE
    from korvan_models.pipeline.generate import neutral_folder, render_model

    names = DependencyModelNames.from_schemas(schemas)
    package = Path(output) / MODELS_PACKAGE
    package.mkdir(parents=True, exist_ok=True)
    for number, schema in enumerate(schemas, 1):
        print(f"[{number}/{len(schemas)}] generating {schema.title}", file=out or sys.stdout, flush=True)
        with neutral_folder():
            text = render_model(MODELS_PACKAGE, schema, names)
        (package / f"{names.module_name(schema.title)}.py").write_text(text, encoding="utf-8")
    (package / "__init__.py").write_text(render_models_init(names, MODELS_PACKAGE), encoding="utf-8")


def show_warnings(warnings: list[str]) -> None:
    """Prints each warning as one line on standard error."""
    for warning in warnings:
        print(f"warning: {warning}", file=sys.stderr)


# SQLSTATE classes of a server that cannot write: insufficient resources, a system error.
SERVER_FAULTS = ("53", "58")
SQLITE_FAULTS = ("disk is full", "disk I/O error", "readonly database", "unable to open database file")


def database_fault(error: BaseException) -> str | None:
    """Why a database refused a write when the machine is at fault (a full disk, a read-only file,
    an I/O error), in the driver's own words; ``None`` for any other error."""
    exc = sys.modules.get("sqlalchemy.exc")
    if exc is None or not isinstance(error, exc.DBAPIError):
        return None
    cause = error.orig
    text = (str(cause) or type(cause).__name__).splitlines()[0]
    state = getattr(cause, "sqlstate", None) or getattr(cause, "pgcode", None)
    if isinstance(state, str) and state[:2] in SERVER_FAULTS:
        return text
    if type(cause).__module__ == "sqlite3" and any(words in text for words in SQLITE_FAULTS):
        return text
    return None


def main(argv: list[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    args = parser().parse_args(argv)
    # The command line as given, for a watching build that may run it instead (``handed_over``).
    args.argv = list(sys.argv[1:] if argv is None else argv)
    received.clear()  # what an earlier command of this process received was dealt with there
    try:
        previous = signal.signal(signal.SIGTERM, on_interrupt)
    except ValueError:  # not the main thread: the signals keep their handling
        previous = None
    # Ctrl-C is recorded as well, unless it was set aside (a command started in the background).
    interrupt = signal.getsignal(signal.SIGINT) if previous is not None else None
    if interrupt is signal.default_int_handler:
        signal.signal(signal.SIGINT, on_interrupt)
    try:
        return run(args)
    except KeyboardInterrupt as error:
        # A check only reads its --out.
        out = None if getattr(args, "command", None) == "check" else getattr(args, "out", None)
        if out is None:
            print("interrupted", file=sys.stderr)
        elif getattr(error, "output_replaced", False):
            print(f"interrupted after the build was put in place: {out} holds the new build", file=sys.stderr)
        else:
            print(f"interrupted; {out} was left as it was", file=sys.stderr)
        return EXIT_TERMINATED if isinstance(error, Terminated) else EXIT_INTERRUPTED
    except Exception as error:
        return failed(args, error)
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
        if interrupt is signal.default_int_handler:
            signal.signal(signal.SIGINT, interrupt)


def failed(args: argparse.Namespace, error: Exception) -> int:
    """Reports a failure of the command; returns the exit status. The build's own errors can only
    come from the build, so they are told apart only where it was loaded."""
    import traceback

    pipeline = sys.modules.get("korvan_models.pipeline")
    if pipeline is not None and isinstance(error, (pipeline.WriteFault, pipeline.OutputBusy)):
        print(f"korvan-models: {error}", file=sys.stderr)
        if getattr(args, "debug", False):
            traceback.print_exception(error)
        return EXIT_TOOL
    if pipeline is not None and isinstance(error, pipeline.ProjectError):
        for problem in error.problems:
            print(problem, file=sys.stderr)
        count = len(error.problems)
        print(f"{count} problem{'s' if count != 1 else ''} found; nothing was written", file=sys.stderr)
        return EXIT_PROJECT
    if isinstance(error, BrokenPipeError):
        # Whoever read the output stopped reading (``| head``): there is no one left to tell.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except OSError:
            pass
        return EXIT_TOOL
    fault = database_fault(error)
    if fault is not None:
        out = getattr(args, "out", None)
        print(f"korvan-models: cannot write the databases: {fault}"
              + (f"; {out} was left as it was" if out is not None else ""), file=sys.stderr)
        if getattr(args, "debug", False):
            traceback.print_exception(error)
        return EXIT_TOOL
    if getattr(args, "debug", False):
        traceback.print_exception(error)
        if getattr(error, "details", None):
            print(error.details, file=sys.stderr, end="")
    else:
        print(f"korvan-models: internal error: {type(error).__name__}: {error}", file=sys.stderr)
        print("re-run with --debug to see the full traceback", file=sys.stderr)
    return EXIT_TOOL


def command() -> None:
    """The installed command: runs ``main`` and ends the process at once, without tearing down the
    objects of the finished build (the output is complete and the streams are flushed by then)."""
    status = main()
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        status = status or EXIT_TOOL
    try:
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    os._exit(status)


if __name__ == "__main__":
    command()
