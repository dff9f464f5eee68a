"""ZXing for Java's Aztec reader, run through tests/java/ReadAztec.java: a
second reader, independent of zxing-cpp, for the tests and for
tools/reader_table.py.

The jar is Debian's ``libzxing-core-java`` (found under /usr/share/maven-repo)
unless ZXING_CORE_JAR names another.  The program is compiled once per
process with javac into a temporary folder.
"""

import atexit
import glob
import os
import shutil
import subprocess
import tempfile
import zipfile

JAVA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "java")
DEBIAN_JARS = "/usr/share/maven-repo/com/google/zxing/core/[0-9]*/core-*.jar"

_compiled = {}


def find_jar():
    """The ZXing core jar to read with, or None."""
    named = os.environ.get("ZXING_CORE_JAR")
    if named:
        return named if os.path.isfile(named) else None
    found = sorted(glob.glob(DEBIAN_JARS))
    return found[-1] if found else None


def missing():
    """Why the Java reader cannot run here (a message for pytest.skip), or None."""
    for tool in ("java", "javac"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed (apt-get install default-jdk-headless)"
    if find_jar() is None:
        return "ZXing's core jar is not installed (apt-get install libzxing-core-java, or set ZXING_CORE_JAR)"
    return None


def jar_version(jar):
    """The ZXing version a jar says it is, from its Maven properties."""
    with zipfile.ZipFile(jar) as archive:
        text = archive.read("META-INF/maven/com.google.zxing/core/pom.properties").decode()
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)["version"]


def _classes(jar):
    if jar not in _compiled:
        folder = tempfile.mkdtemp(prefix="read-aztec-")
        atexit.register(shutil.rmtree, folder, True)
        subprocess.run(["javac", "-nowarn", "-cp", jar, "-d", folder, os.path.join(JAVA_DIR, "ReadAztec.java")],
                       check=True, capture_output=True)
        _compiled[jar] = folder
    return _compiled[jar]


def read_pngs(paths, jar=None):
    """What ZXing reads from each PNG file: the text, or None where it
    finds no symbol or fails to decode it."""
    jar = jar or find_jar()
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False, encoding="utf-8") as listing:
        listing.write("\n".join(paths) + "\n")
    try:
        done = subprocess.run(["java", "-cp", os.pathsep.join([_classes(jar), jar]), "ReadAztec", "@" + listing.name],
                              check=True, capture_output=True, text=True, timeout=600)
    finally:
        os.unlink(listing.name)
    lines = done.stdout.splitlines()
    assert len(lines) == len(paths), done.stderr
    return [bytes.fromhex(line.split()[1]).decode("utf-8") if line.startswith("OK ") else None for line in lines]


def read_symbols(symbols, jar=None):
    """What ZXing reads from each symbol, written as a PNG with a border."""
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for index, symbol in enumerate(symbols):
            path = os.path.join(folder, f"{index}.png")
            symbol.save(path, scale=3, border=4)
            paths.append(path)
        return read_pngs(paths, jar)
