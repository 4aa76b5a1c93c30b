#!/usr/bin/env python3
"""Checks of the installed tree and of the Debian package.

    packaging_test.py --build DIR --work DIR --libdir LIBDIR
                      --version VERSION GROUP

GROUP is one of:
  install   `cmake --install` of the build into WORK/prefix (the fixture the
            other groups of the installed tree share); checks that every
            deliverable is in its GNU folder
  cleanup   removes WORK
  desktop   the .desktop entries validate, name installed programs and icons
  metainfo  the AppStream metadata validates and names the studio's entry
  camera    gst-inspect-1.0 finds corvalindcamsrc in the installed plugin folder
  studio    the installed studio runs offscreen and writes its screenshots
  man       each manual page renders without warnings and names the options
  programs  the player, reelforge and snaptrace-run start from the installed
            tree and find their plugin and library there
  deb       cpack -G DEB builds the package, lintian finds no errors

Everything runs with a temporary HOME and XDG folders, Qt's offscreen
platform, a private GStreamer registry and private output-buffer names.
Exit status 0 when the group passed, 1 when it failed, 77 when a tool it
needs is missing.
"""

import argparse
import gzip
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
APP_IDS = ("org.corvalind.Corvalind", "org.corvalind.CorvalindPlayer")
PROGRAMS = ("corvalind", "corvalind-player", "reelforge", "snaptrace-run")
ICON_SIZES = (16, 32, 48, 64, 128, 256)

# The options each program's entry point reads; its manual page must name
# every one of them.
MAN_OPTIONS = {
    "corvalind": ["--demo", "--screenshots", "--output", "--quit-after", "--theme", "--output-name",
                  "--crash-report", "CORVALIND_THEME", "CORVALIND_UPDATE_URL", "CORVALIND_DOWNLOAD_URL",
                  "settings.txt", "Corvalind.conf", "scenes.xml", "Corvalind.log"],
    "corvalind-player": ["--buffer-name", "--help", "GST_PLUGIN_PATH", "CORVALIND_CAM_LOG"],
    "reelforge": ["Reelforge.ini", "CORVALIND_OUTPUT_BUFFER", "CAPTURE_DEVICE", "AUDIO_DEVICE", "VIDEO_WIDTH",
                  "VIDEO_HEIGHT", "VIDEO_FPS", "SKIP_CODE", "FORCE_DEFAULT", "CROSSBAR_INPUT", "WEBM_BITRATE",
                  "WEBM_THREADS", "WEBM_VIDEO_DURATION", "OVERLAPPED_FRAMES", "VORBIS_QUALITY", "OUTPUT_FILES",
                  "FTP_HOST", "FTP_USER", "FTP_PASS", "FTP_FOLDER", "FTP_PASSIVE", "WEBM_PARTS", "WEBM_USAGE",
                  "REBOOT_MEMORY_KB", "DEBUG_MODE"],
    "snaptrace-run": ["GAME", "LD_PRELOAD", "SNAPTRACE_DEBUG", "SNAPTRACE_INSTANCE", "125", "126", "127"],
}


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def check(condition, text):
    if not condition:
        raise Failure(text)


def tool(name):
    path = shutil.which(name)
    if path is None:
        raise Skip(f"{name} is not installed (scripts/packages.txt lists its package)")
    return path


def run(command, env=None, timeout=120, cwd=None):
    result = subprocess.run(command, env=env, cwd=cwd, timeout=timeout, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    return result.returncode, result.stdout, result.stderr


class Tree:
    def __init__(self, args):
        self.args = args
        self.work = args.work
        self.prefix = os.path.join(args.work, "prefix")
        self.libdir = os.path.join(self.prefix, args.libdir)
        self.plugin_dir = os.path.join(self.libdir, "gstreamer-1.0")
        self.share = os.path.join(self.prefix, "share")

    def bin(self, program):
        return os.path.join(self.prefix, "bin", program)

    def private_env(self, name):
        """A fresh temporary home for one check: HOME, the XDG folders, the
        offscreen platform, a private GStreamer registry and no plugin
        folders but the ones a check names."""
        home = tempfile.mkdtemp(prefix=f"{name}-", dir=self.work)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("XDG_", "GST_", "QT_", "CORVALIND_", "SNAPTRACE_"))
               and k not in ("DISPLAY", "WAYLAND_DISPLAY", "LD_PRELOAD")}
        runtime = os.path.join(home, "run")
        os.makedirs(runtime, mode=0o700)
        no_plugins = os.path.join(home, "no-system-plugins")
        os.makedirs(no_plugins)
        env.update({
            "HOME": home,
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_DOCUMENTS_DIR": os.path.join(home, "Documents"),
            "XDG_RUNTIME_DIR": runtime,
            "QT_QPA_PLATFORM": "offscreen",
            "GST_REGISTRY": os.path.join(home, "registry.bin"),
            # Only the installed tree's plugins, never an installed system copy of ours.
            "GST_PLUGIN_SYSTEM_PATH_1_0": no_plugins,
        })
        return home, env


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    check(head[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is no PNG file")
    return struct.unpack(">II", head[16:24])


def read_desktop_entry(path):
    entry = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if "=" in line and not line.startswith(("#", "[")):
                key, value = line.split("=", 1)
                entry[key] = value
    return entry


def group_install(tree):
    cmake = tool("cmake")
    shutil.rmtree(tree.work, ignore_errors=True)
    os.makedirs(tree.work)
    code, out, err = run([cmake, "--install", tree.args.build, "--prefix", tree.prefix])
    check(code == 0, f"cmake --install failed ({code}):\n{out}{err}")
    expected = [os.path.join("bin", p) for p in PROGRAMS]
    expected += [os.path.join(tree.args.libdir, "libsnaptrace.so"),
                 os.path.join(tree.args.libdir, "gstreamer-1.0", "libgstcorvalindcam.so"),
                 "share/metainfo/org.corvalind.Corvalind.metainfo.xml",
                 "share/doc/corvalind/copyright",
                 "share/doc/corvalind/changelog.gz"]
    expected += [f"share/applications/{i}.desktop" for i in APP_IDS]
    expected += [f"share/icons/hicolor/scalable/apps/{i}.svg" for i in APP_IDS]
    expected += [f"share/icons/hicolor/{s}x{s}/apps/{i}.png" for i in APP_IDS for s in ICON_SIZES]
    expected += [f"share/man/man1/{p}.1.gz" for p in PROGRAMS]
    missing = [p for p in expected if not os.path.isfile(os.path.join(tree.prefix, p))]
    check(not missing, "not installed: " + ", ".join(missing))
    not_executable = [p for p in PROGRAMS if not os.access(tree.bin(p), os.X_OK)]
    check(not not_executable, "not executable: " + ", ".join(not_executable))


def group_cleanup(tree):
    shutil.rmtree(tree.work, ignore_errors=True)


def group_desktop(tree):
    validate = tool("desktop-file-validate")
    folder = os.path.join(tree.share, "applications")
    names = sorted(os.listdir(folder))
    check(names == sorted(f"{i}.desktop" for i in APP_IDS), f"entries in {folder}: {names}")
    for app_id in APP_IDS:
        path = os.path.join(folder, f"{app_id}.desktop")
        code, out, err = run([validate, path])
        # desktop-file-validate answers 0 also for hints; any line it
        # prints is a finding.
        check(code == 0 and not (out + err).strip(), f"desktop-file-validate {path}:\n{out}{err}")
        entry = read_desktop_entry(path)
        for key in ("Name", "Comment", "Exec", "Icon", "Categories"):
            check(entry.get(key), f"{path} has no {key}")
        check({"AudioVideo", "Video"} <= set(entry["Categories"].split(";")),
              f"{path}: Categories {entry['Categories']}")
        program = entry["Exec"].split()[0]
        check(os.access(tree.bin(program), os.X_OK), f"{path}: Exec names {program}, which is not installed")
        check(entry["Icon"] == app_id, f"{path}: Icon {entry['Icon']} is not {app_id}")
        icons = os.path.join(tree.share, "icons", "hicolor")
        svg = os.path.join(icons, "scalable", "apps", f"{app_id}.svg")
        check(os.path.isfile(svg), f"no scalable icon {svg}")
        for size in ICON_SIZES:
            png = os.path.join(icons, f"{size}x{size}", "apps", f"{app_id}.png")
            check(png_size(png) == (size, size), f"{png} is {png_size(png)}, not {size}x{size}")


def group_metainfo(tree):
    appstreamcli = tool("appstreamcli")
    path = os.path.join(tree.share, "metainfo", "org.corvalind.Corvalind.metainfo.xml")
    code, out, err = run([appstreamcli, "validate", "--no-net", "--no-color", path])
    check(code == 0, f"appstreamcli validate --no-net {path} ({code}):\n{out}{err}")
    findings = [line for line in (out + err).splitlines() if re.match(r"^[EW]: ", line)]
    check(not findings, "appstreamcli:\n" + "\n".join(findings))
    with open(path, encoding="utf-8") as f:
        text = f.read()
    check("<id>org.corvalind.Corvalind</id>" in text, "the metainfo's id is not org.corvalind.Corvalind")
    launchable = re.search(r'<launchable type="desktop-id">([^<]+)</launchable>', text)
    check(launchable is not None, "the metainfo names no desktop entry")
    check(os.path.isfile(os.path.join(tree.share, "applications", launchable.group(1))),
          f"the metainfo's launchable {launchable.group(1)} is not installed")
    check(f'<release version="{tree.args.version}"' in text,
          f"the metainfo's newest release is not {tree.args.version}")


def group_camera(tree):
    inspect = tool("gst-inspect-1.0")
    _, env = tree.private_env("camera")
    env["GST_PLUGIN_PATH"] = tree.plugin_dir
    code, out, err = run([inspect, "corvalindcamsrc"], env=env)
    check(code == 0, f"gst-inspect-1.0 corvalindcamsrc ({code}):\n{out}{err}")
    filename = re.search(r"^\s*Filename\s+(\S+)", out, re.MULTILINE)
    check(filename is not None, f"gst-inspect-1.0 names no plugin file:\n{out}")
    check(os.path.realpath(filename.group(1)) ==
          os.path.realpath(os.path.join(tree.plugin_dir, "libgstcorvalindcam.so")),
          f"corvalindcamsrc came from {filename.group(1)}, not from {tree.plugin_dir}")
    check("Corvalind Camera" in out, "corvalindcamsrc is not the Corvalind Camera")


def group_studio(tree):
    home, env = tree.private_env("studio")
    shots = os.path.join(home, "screenshots")
    code, out, err = run([tree.bin("corvalind"), "--screenshots", shots,
                          "--output-name", f"corvalind_packaging_{os.getpid()}"], env=env, timeout=120)
    check(code == 0, f"corvalind --screenshots exited {code}:\n{out}{err}")
    pictures = sorted(p for p in os.listdir(shots) if p.endswith(".png")) if os.path.isdir(shots) else []
    check("main-window.png" in pictures, f"no main-window.png among {pictures}")
    for picture in pictures:
        width, height = png_size(os.path.join(shots, picture))
        check(width > 0 and height > 0, f"{picture} is empty")
    # The studio tells where the installed camera plugin is: the folder
    # under the installation's library folder.
    check(f"GST_PLUGIN_PATH={tree.plugin_dir} " in out,
          f"the studio does not name {tree.plugin_dir} as the camera's folder:\n{out}")


def group_man(tree):
    man = tool("man")
    groff = tool("groff")
    for program, options in MAN_OPTIONS.items():
        path = os.path.join(tree.share, "man", "man1", f"{program}.1.gz")
        with gzip.open(path, "rt", encoding="utf-8") as f:
            source = f.read()
        check(source.startswith(f".TH {program.upper().replace('-', chr(92) + '-')} 1 "),
              f"{path} is not the section 1 page of {program}")
        check(f"Corvalind {tree.args.version}" in source, f"{path} does not carry version {tree.args.version}")
        _, env = tree.private_env("man")
        env.update(MANWIDTH="80", LC_ALL="C.UTF-8")
        code, out, err = run([man, "--warnings", "-l", path], env=env)
        check(code == 0 and not err.strip(), f"man --warnings -l {path} ({code}):\n{err}")
        result = subprocess.run([groff, "-man", "-ww", "-z"], input=source, text=True, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        check(result.returncode == 0 and not result.stderr.strip(), f"groff -man -ww {path}:\n{result.stderr}")
        check(re.search(r"^NAME\n\s+" + re.escape(program) + r"\s+- ", out, re.MULTILINE),
              f"{path} renders without its NAME line:\n{out[:400]}")
        missing = [o for o in options if o not in out]
        check(not missing, f"{path} does not describe: " + ", ".join(missing))


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.05)


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def group_programs(tree):
    home, env = tree.private_env("programs")

    # corvalind-player: its usage, its refusal without a display, and the
    # camera plugin of the installation handed to GStreamer by itself (the
    # private registry lists what GStreamer found).
    code, out, err = run([tree.bin("corvalind-player"), "--help"], env=env)
    check(code == 0 and "usage: corvalind-player [--buffer-name NAME]" in out,
          f"corvalind-player --help ({code}):\n{out}{err}")
    no_display = {k: v for k, v in env.items() if k != "QT_QPA_PLATFORM"}
    code, out, err = run([tree.bin("corvalind-player")], env=no_display)
    check(code == 2 and "no display" in err, f"corvalind-player without a display ({code}):\n{out}{err}")

    # GStreamer writes the registry once it has found a plugin: the core
    # elements always, the camera when the player named its folder.
    code, plugins_dir, err = run([tool("pkg-config"), "--variable=pluginsdir", "gstreamer-1.0"])
    core = os.path.join(plugins_dir.strip(), "libgstcoreelements.so")
    check(code == 0 and os.path.isfile(core), f"no GStreamer core elements at {core}: {err}")
    os.symlink(core, os.path.join(env["GST_PLUGIN_SYSTEM_PATH_1_0"], "libgstcoreelements.so"))
    registry = env["GST_REGISTRY"]
    player_log_path = os.path.join(home, "player.log")
    with open(player_log_path, "w") as player_log:
        player = subprocess.Popen([tree.bin("corvalind-player"), "--buffer-name",
                                   f"corvalind_packaging_{os.getpid()}"],
                                  env=env, stdout=player_log, stderr=subprocess.STDOUT)
        try:
            wait_for(lambda: os.path.exists(registry) or player.poll() is not None, 30,
                     "the player's GStreamer registry")
            ended = player.poll()
        finally:
            stop(player)
    with open(player_log_path) as f:
        player_output = f.read()
    check(ended is None, f"corvalind-player ended ({ended}) before it showed its window:\n{player_output}")
    with open(registry, "rb") as f:
        listed = f.read()
    installed = os.path.join(tree.plugin_dir, "libgstcorvalindcam.so").encode()
    check(installed in listed, f"the player did not hand {tree.plugin_dir} to GStreamer")

    # reelforge: the banner and the configuration file it reads in the
    # documents folder; then it is ended (it runs until then).
    out_folder = os.path.join(home, "reelforge")
    os.makedirs(out_folder)
    # No GST_PLUGIN_PATH: reelforge finds the installed camera itself.
    reel_env = dict(env, CORVALIND_OUTPUT_BUFFER=f"corvalind_packaging_{os.getpid()}")
    reel_env.pop("GST_PLUGIN_PATH", None)
    reelforge = subprocess.Popen([tree.bin("reelforge")], env=reel_env, cwd=out_folder, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
    ini = os.path.join(env["XDG_DOCUMENTS_DIR"], "Corvalind", "Reelforge.ini")
    lines = []
    # A reelforge that never prints the line is ended, which ends the loop.
    watchdog = threading.Timer(60, reelforge.kill)
    watchdog.start()
    try:
        for line in reelforge.stdout:
            lines.append(line)
            if ini in line:
                break
    finally:
        watchdog.cancel()
        stop(reelforge)
    text = "".join(lines)
    check(text.startswith("Corvalind WebM Producer"), f"reelforge printed no banner:\n{text}")
    check(f"Cannot load configuration file!( {ini} )" in text, f"reelforge did not look for {ini}:\n{text}")

    # snaptrace-run: its usage, and the installed library put in front of
    # LD_PRELOAD for the game it starts.
    code, out, err = run([tree.bin("snaptrace-run")], env=env)
    check(code == 2 and "Usage: snaptrace-run GAME [ARGS]" in err, f"snaptrace-run ({code}):\n{out}{err}")
    game = [shutil.which("sh"), "-c", 'printf "%s" "$LD_PRELOAD"']
    code, out, err = run([tree.bin("snaptrace-run")] + game, env=dict(env, LD_PRELOAD=""))
    library = os.path.realpath(os.path.join(tree.libdir, "libsnaptrace.so"))
    check(code == 0 and out == library, f"snaptrace-run preloads {out!r}, not {library} ({code}):\n{err}")


def group_deb(tree):
    cpack = tool("cpack")
    lintian = tool("lintian")
    dpkg_deb = tool("dpkg-deb")
    out_dir = tree.work + "-deb"
    shutil.rmtree(out_dir, ignore_errors=True)
    home = os.path.join(out_dir, "home")
    os.makedirs(home)
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_CACHE_HOME=os.path.join(home, ".cache"), XDG_DATA_HOME=os.path.join(home, ".local", "share"))
    try:
        code, out, err = run([cpack, "-G", "DEB", "-B", out_dir], env=env, cwd=tree.args.build, timeout=170)
        check(code == 0, f"cpack -G DEB ({code}):\n{out}{err}")
        packages = [p for p in os.listdir(out_dir) if p.endswith(".deb")]
        check(packages == [f"corvalind_{tree.args.version}_{machine_arch()}.deb"], f"packages made: {packages}")
        package = os.path.join(out_dir, packages[0])

        fields = {}
        for name in ("Package", "Version", "Section", "Maintainer", "Depends", "Description"):
            _, value, _ = run([dpkg_deb, "-f", package, name])
            fields[name] = value.strip()
        check(fields["Package"] == "corvalind", f"Package: {fields['Package']}")
        check(fields["Version"] == tree.args.version, f"Version: {fields['Version']}")
        check(fields["Section"] == "video", f"Section: {fields['Section']}")
        check("@" in fields["Maintainer"], f"Maintainer: {fields['Maintainer']}")
        for needed in ("gstreamer1.0-plugins-base", "gstreamer1.0-plugins-good", "gstreamer1.0-x",
                       "libqt6widgets6", "libgstreamer1.0-0"):
            check(re.search(r"(^|, )" + re.escape(needed) + r"( |,|$)", fields["Depends"]),
                  f"Depends lacks {needed}: {fields['Depends']}")
        check("\n" in fields["Description"], "the package has no long description")

        _, listing, _ = run([dpkg_deb, "-c", package])
        multiarch = tree.args.libdir
        for path in ([f"./usr/bin/{p}" for p in PROGRAMS] +
                     [f"./usr/{multiarch}/gstreamer-1.0/libgstcorvalindcam.so",
                      f"./usr/{multiarch}/libsnaptrace.so",
                      "./usr/share/metainfo/org.corvalind.Corvalind.metainfo.xml",
                      "./usr/share/doc/corvalind/copyright"] +
                     [f"./usr/share/applications/{i}.desktop" for i in APP_IDS] +
                     [f"./usr/share/man/man1/{p}.1.gz" for p in PROGRAMS]):
            check(re.search(r"\s" + re.escape(path) + r"$", listing, re.MULTILINE), f"the package lacks {path}")

        code, out, err = run([lintian, "--tag-display-limit", "0", package], env=env, timeout=170)
        report = (out + err).strip()
        print("lintian:\n" + (report or "(nothing)"))
        errors = [line for line in report.splitlines() if line.startswith("E: ")]
        check(not errors, "lintian errors:\n" + "\n".join(errors))
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)


def machine_arch():
    code, out, _ = run([tool("dpkg"), "--print-architecture"])
    check(code == 0, "dpkg --print-architecture failed")
    return out.strip()


GROUPS = {
    "install": group_install,
    "cleanup": group_cleanup,
    "desktop": group_desktop,
    "metainfo": group_metainfo,
    "camera": group_camera,
    "studio": group_studio,
    "man": group_man,
    "programs": group_programs,
    "deb": group_deb,
}


def main():
    parser = argparse.ArgumentParser()
    for option in ("--build", "--work", "--libdir", "--version"):
        parser.add_argument(option, required=True)
    parser.add_argument("group", choices=sorted(GROUPS))
    args = parser.parse_args()
    tree = Tree(args)
    try:
        GROUPS[args.group](tree)
    except Skip as skip:
        print(f"SKIP: {skip}")
        return SKIP
    except Failure as failure:
        print(f"FAIL: {failure}")
        return 1
    print(f"{args.group}: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
