"""Prints where the package rux goes below PREFIX (the only argument) for
the interpreter that runs this, relative to PREFIX: where that interpreter
looks for packages when it is installed there.

Run by `cmake --install` with the prefix given then, so that
`--prefix ~/.local` reaches the user's site-packages as plainly as the
default /usr/local reaches the system's.
"""
import os
import site
import sys
import sysconfig

prefix = os.path.normpath(os.path.abspath(sys.argv[1]))
base = prefix
if prefix == os.path.normpath(site.getuserbase()):
    # The user's own prefix: ~/.local/lib/pythonX.Y/site-packages.
    path = site.getusersitepackages()
else:
    if "deb_system" in sysconfig.get_scheme_names():
        # Debian's schemes: /usr for its packages; /usr/local as base /usr.
        scheme = {"/usr": "deb_system", "/usr/local": "posix_local"}.get(prefix, "posix_prefix")
        if prefix == "/usr/local":
            base = "/usr"
    elif hasattr(sysconfig, "get_default_scheme"):
        scheme = sysconfig.get_default_scheme()
    else:
        scheme = "posix_prefix"
    path = sysconfig.get_path("platlib", scheme, vars={"base": base, "platbase": base})
path = os.path.normpath(path)
if os.path.commonpath([prefix, path]) != prefix:
    # Not below the prefix (an unusual layout): the usual place below it.
    path = os.path.join(prefix, "lib", "python%d.%d" % sys.version_info[:2], "site-packages")
print(os.path.relpath(path, prefix).replace(os.sep, "/"), end="")
