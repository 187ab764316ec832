"""The build backend of the Python package rux.

pip calls it to build a wheel: CMake configures the source tree above this
directory for the interpreter that runs it, builds the compiled core _rux,
and the wheel holds the package as the build tree lays it out. Nothing is
downloaded, so it works offline and with --no-build-isolation.
"""
import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def _package_files():
    """The package's own files, as the source tree has them: every one goes
    into the wheel, so a module added to the package cannot be left out."""
    source = os.path.join(HERE, "rux")
    return tuple(sorted(n for n in os.listdir(source)
                        if os.path.isfile(os.path.join(source, n)) and not n.endswith(".pyc")))


def _version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        found = re.search(r"^project\(\S+ VERSION ([0-9.]+)", f.read(), re.M)
    if not found:
        raise RuntimeError("no project version in " + os.path.join(ROOT, "CMakeLists.txt"))
    return found.group(1)


def _tag():
    version = "%d%d" % sys.version_info[:2]
    abi = "cp" + version + getattr(sys, "abiflags", "")
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return "cp%s-%s-%s" % (version, abi, platform)


def _build():
    """Builds _rux for this interpreter; returns the build's package folder."""
    if not os.path.isfile(os.path.join(ROOT, "resource", "set.h")):
        raise RuntimeError("the package is built from the rux source tree; " + ROOT + " is not one")
    key = hashlib.sha1(sys.executable.encode()).hexdigest()[:8]
    build = os.path.join(ROOT, "build", "pip-" + _tag() + "-" + key)
    configure = ["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                 "-DRUX_TESTS=OFF", "-DRUX_MOUNT=OFF", "-DRUX_PYTHON=ON", "-DRUX_WERROR=OFF",
                 "-DPython_EXECUTABLE=" + sys.executable]
    if shutil.which("ccache"):
        configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    subprocess.run(configure, check=True, stdout=sys.stderr)
    subprocess.run(["cmake", "--build", build, "--target", "rux_python", "-j", str(os.cpu_count() or 1)],
                   check=True, stdout=sys.stderr)
    return os.path.join(build, "python", "rux")


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def _metadata(version, tag):
    """The wheel's .dist-info folder name and its files but RECORD."""
    info = "rux-%s.dist-info" % version
    return info, {
        "METADATA": "Metadata-Version: 2.1\nName: rux\nVersion: %s\n"
                    "Summary: Read, test, extract and pack resource files\n"
                    "Requires-Python: >=3.9\n" % version,
        "WHEEL": "Wheel-Version: 1.0\nGenerator: rux build_backend\n"
                 "Root-Is-Purelib: false\nTag: %s\n" % tag,
    }


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    """The metadata without a build, so that pip builds the wheel once."""
    info, files = _metadata(_version(), _tag())
    os.makedirs(os.path.join(metadata_directory, info), exist_ok=True)
    for name, text in files.items():
        with open(os.path.join(metadata_directory, info, name), "w", encoding="utf-8") as f:
            f.write(text)
    return info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    package = _build()
    version = _version()
    tag = _tag()
    modules = [n for n in os.listdir(package) if n.startswith("_rux.") and n.endswith(".so")]
    if len(modules) != 1:
        raise RuntimeError("expected one compiled _rux in " + package + ", found %r" % modules)
    info, files = _metadata(version, tag)
    contents = [("rux/" + n, os.path.join(package, n)) for n in _package_files() + (modules[0],)]
    meta = {info + "/" + name: text for name, text in files.items()}
    name = "rux-%s-%s.whl" % (version, tag)
    record = []
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for arcname, path in contents:
            with open(path, "rb") as f:
                data = f.read()
            wheel.writestr(arcname, data)
            record.append(_record_line(arcname, data))
        for arcname, text in meta.items():
            wheel.writestr(arcname, text)
            record.append(_record_line(arcname, text.encode()))
        record.append(info + "/RECORD,,")
        wheel.writestr(info + "/RECORD", "\n".join(record) + "\n")
    return name


def build_sdist(sdist_directory, config_settings=None):
    raise RuntimeError("rux is built from its source tree; there is no source distribution")
