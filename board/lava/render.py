#!/usr/bin/python3
"""Renders a device dictionary of this folder into the device configuration
lava-run takes, and prints it.

    board/lava/render.py DICT [NAME=VALUE ...]

DICT extends one of lava-server's device-type templates; NAME=VALUE pairs
are variables the dictionary reads (board-qemu.jinja2 takes STATE, the
folder of its UART sockets). The templates are lava-server's own, read from
LAVA_DEVICE_TYPES or /usr/share/lava-server/device-types when there, else
from Debian's lava-server package, downloaded and unpacked (not installed)
once per version under ${XDG_CACHE_HOME:-~/.cache}/board-toolset/.
One line starting "lava:" on standard error and status 1 when it cannot.
"""
import os
import subprocess
import sys
import tempfile

import jinja2
import yaml


def fail(message):
    sys.stderr.write("lava: %s\n" % message)
    sys.exit(1)


def templates():
    for folder in (os.environ.get("LAVA_DEVICE_TYPES"), "/usr/share/lava-server/device-types"):
        if folder and os.path.isfile(os.path.join(folder, "base.jinja2")):
            return folder
    version = subprocess.run(["apt-cache", "policy", "lava-server"], capture_output=True, text=True).stdout
    version = next((line.split()[1] for line in version.splitlines() if "Candidate:" in line), "(none)")
    if version == "(none)":
        fail("no lava-server package known to apt, whose device-type templates render the device (run apt-get update)")
    cache = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "board-toolset")
    unpacked = os.path.join(cache, "lava-server-" + version.replace(":", "%3a"))
    folder = os.path.join(unpacked, "usr/share/lava-server/device-types")
    if os.path.isfile(os.path.join(folder, "base.jinja2")):
        return folder
    os.makedirs(cache, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache) as work:
        got = subprocess.run(["apt-get", "download", "-q", "lava-server=" + version], cwd=work,
                             capture_output=True, text=True, timeout=300)
        debs = [name for name in os.listdir(work) if name.endswith(".deb")]
        if got.returncode != 0 or not debs:
            fail("cannot download lava-server %s: %s" % (version, (got.stderr.strip().splitlines() or ["?"])[-1]))
        subprocess.run(["dpkg-deb", "-x", os.path.join(work, debs[0]), work + "/x"], check=True)
        os.rename(work + "/x", unpacked)
    return folder


def main():
    if len(sys.argv) < 2:
        fail("usage: render.py DICT [NAME=VALUE ...]")
    path = sys.argv[1]
    if not os.path.isfile(path):
        fail("no device dictionary %s" % path)
    variables = dict(arg.split("=", 1) for arg in sys.argv[2:] if "=" in arg)
    loader = jinja2.FileSystemLoader([os.path.dirname(os.path.abspath(path)), templates()])
    env = jinja2.Environment(loader=loader, trim_blocks=True, autoescape=False)
    try:
        out = env.get_template(os.path.basename(path)).render(**variables)
        yaml.safe_load(out)
    except (jinja2.TemplateError, yaml.YAMLError) as error:
        fail("cannot render %s: %s" % (path, str(error).splitlines()[0]))
    print(out)


main()
