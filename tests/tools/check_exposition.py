#!/usr/bin/python3
"""Checks a Prometheus or OpenMetrics exposition with the tools that scrape it: `promtool check metrics`
(Debian package prometheus) for the Prometheus text format, and the Python client's parsers (Debian package
python3-prometheus-client): its text parser for the Prometheus format, its OpenMetrics parser for OpenMetrics.

    check_exposition.py prometheus|openmetrics FILE

prints what each checker found and exits 1 when one of them refuses the file; checkers that are not
installed are skipped with a note."""
import shutil
import subprocess
import sys


class NotInstalled(Exception):
    pass


def promtool(text):
    """promtool's lint: exit 0 and nothing said, or the problems it reports."""
    if shutil.which("promtool") is None:
        raise NotInstalled("promtool (Debian package prometheus)")
    result = subprocess.run(["promtool", "check", "metrics"], input=text.encode("utf-8"),
                            capture_output=True, timeout=60)
    said = (result.stdout + result.stderr).decode("utf-8", "replace").strip()
    if result.returncode != 0 or said:
        raise ValueError(f"promtool check metrics exited {result.returncode}: {said}")


def parse(text, fmt):
    """The Python client's families for the text; a family name seen twice is refused too."""
    try:
        if fmt == "openmetrics":
            from prometheus_client.openmetrics.parser import text_string_to_metric_families
        else:
            from prometheus_client.parser import text_string_to_metric_families
    except ImportError:
        raise NotInstalled("prometheus_client (Debian package python3-prometheus-client)")
    families = list(text_string_to_metric_families(text))
    names = [family.name for family in families]
    twice = sorted({name for name in names if names.count(name) > 1})
    if twice:
        raise ValueError(f"families seen more than once: {', '.join(twice)}")
    return families


def checks(fmt):
    found = [("prometheus_client " + ("OpenMetrics" if fmt == "openmetrics" else "text") + " parser",
              lambda text: f"{len(parse(text, fmt))} families")]
    if fmt == "prometheus":
        found.insert(0, ("promtool check metrics", lambda text: promtool(text) or "no problems"))
    return found


def main(argv):
    if len(argv) != 3 or argv[1] not in ("prometheus", "openmetrics"):
        print(__doc__, file=sys.stderr)
        return 2
    fmt, path = argv[1], argv[2]
    with open(path, "rb") as file:
        data = file.read()
    failed = False
    try:
        text = data.decode("utf-8")
        if data.startswith(b"\xef\xbb\xbf") or b"\r" in data:
            raise ValueError("the file has a byte-order mark or carriage returns")
    except ValueError as problem:
        print(f"  {path}: {problem}")
        return 1
    for name, check in checks(fmt):
        try:
            print(f"  {name}: {check(text)}")
        except NotInstalled as missing:
            print(f"  {name}: skipped, {missing} is not installed")
        except ValueError as problem:
            print(f"  {name}: REFUSED: {problem}")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
