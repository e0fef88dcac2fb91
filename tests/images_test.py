# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors

"""msgs_iic in the images embedded people build, with the pinned copies of
Buildroot and Yocto's poky (or a tree of one's own, MSGS_IIC_BUILDROOT or
MSGS_IIC_POKY): the Buildroot package builds with Debian's cross compiler,
not Buildroot's own, and no download at all, and the program it builds runs
on an emulated board; the Yocto recipe parses, plans and passes its licence
check, which stops short of compiling (that needs a toolchain Yocto builds
from sources that cannot be had offline)."""

import csv
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
from collections.abc import Iterator
from pathlib import Path

import pytest

TOP = Path(__file__).resolve().parents[1]


def third_party() -> Path:
    """The pinned copies beside the project, or beside the repository this
    clone came from (CI's clean clone of main)."""
    origin = subprocess.run(["git", "-C", TOP, "config", "remote.origin.url"],
                            capture_output=True, text=True).stdout.strip()
    for root in (TOP, Path(origin) if origin.startswith("/") else None):
        if root is not None and (root.parent / "shared" / "third-party").is_dir():
            return root.parent / "shared" / "third-party"
    return TOP.parent / "shared" / "third-party"


THIRD_PARTY = third_party()
RECIPE = TOP / "meta-msgs-iic" / "recipes-devtools" / "msgs-iic" / "msgs-iic_0.1.0.bb"
# The release that the Buildroot package's .hash and the Yocto recipe's
# SRCREV pin.
RELEASE = re.search(r'^SRCREV = "([0-9a-f]{40})"$', RECIPE.read_text(), re.M)
VERSION = "0.1.0"
# Debian's armhf cross compiler as Buildroot's external toolchain, for a
# Cortex-A9 with glibc, as Debian 12 has them: gcc 12, headers of Linux 6.1,
# OpenMP, no RPC. Every download would go to a primary site that cannot
# answer, and nowhere else. No busybox or init: the package alone.
DEFCONFIG = """\
BR2_arm=y
BR2_cortex_a9=y
BR2_ARM_ENABLE_VFP=y
BR2_ARM_FPU_VFPV3D16=y
BR2_DL_DIR="{work}/dl"
BR2_PRIMARY_SITE="http://127.0.0.1:9"
BR2_PRIMARY_SITE_ONLY=y
BR2_PACKAGE_OVERRIDE_FILE="{work}/local.mk"
BR2_TOOLCHAIN_EXTERNAL=y
BR2_TOOLCHAIN_EXTERNAL_CUSTOM=y
BR2_TOOLCHAIN_EXTERNAL_PREINSTALLED=y
BR2_TOOLCHAIN_EXTERNAL_PATH="{work}/toolchain"
BR2_TOOLCHAIN_EXTERNAL_CUSTOM_PREFIX="arm-linux-gnueabihf"
BR2_TOOLCHAIN_EXTERNAL_GCC_12=y
BR2_TOOLCHAIN_EXTERNAL_HEADERS_6_1=y
BR2_TOOLCHAIN_EXTERNAL_CUSTOM_GLIBC=y
BR2_TOOLCHAIN_EXTERNAL_CXX=y
BR2_TOOLCHAIN_EXTERNAL_OPENMP=y
# BR2_TOOLCHAIN_EXTERNAL_INET_RPC is not set
BR2_INIT_NONE=y
BR2_SYSTEM_BIN_SH_NONE=y
# BR2_PACKAGE_BUSYBOX is not set
# BR2_TARGET_ROOTFS_TAR is not set
BR2_PACKAGE_MSGS_IIC=y
"""
# Debian's pkgconf and patchelf stand in for Buildroot's host packages,
# which would be downloaded; their licence is Debian's copyright file.
STAND_IN = """\
HOST_{NAME}_OVERRIDE_SRCDIR = {work}/debian-{name}
HOST_{NAME}_LICENSE_FILES = copyright
define HOST_{NAME}_CONFIGURE_CMDS
    true
endef
define HOST_{NAME}_BUILD_CMDS
    true
endef
define HOST_{NAME}_INSTALL_CMDS
    mkdir -p $(HOST_DIR)/bin && ln -sf /usr/bin/{name} $(HOST_DIR)/bin/{name}
endef
"""
# Buildroot wants tar 1.35; Debian 12's 1.34 does here.
TAR = ("TAR=tar", "BR2_TAR_HOST_DEPENDENCY=")
WRAPPER = """\
#!/bin/sh
# Debian's {name}, in a sysroot of the shape that Buildroot wants.
for arg; do
    case $arg in
    -v) [ $# -eq 1 ] && {{ {real} -v 2>&1 | sed 's| --with-sysroot=/ | --with-sysroot={sysroot} |' >&2; exit 0; }} ;;
    -print-file-name=*)
        for dir in {sysroot}/lib {sysroot}/usr/lib; do
            [ -e "$dir/${{arg#*=}}" ] && {{ echo "$dir/${{arg#*=}}"; exit 0; }}
        done ;;
    esac
done
exec {real} --sysroot={sysroot} "$@"
"""  # noqa: E501  (a shell script's own lines)


def tree(variable: str, pinned: str, into: Path) -> Path:
    """The user's own tree where the variable names one, else the pinned
    copy unpacked; skipped where there is neither."""
    given = os.environ.get(variable)
    source = Path(given) if given else THIRD_PARTY / pinned
    if source.is_dir():
        return source
    if not source.is_file():
        pytest.skip(f"no {pinned} in {THIRD_PARTY}, and no {variable}")
    with tarfile.open(source) as archive:
        top = archive.getnames()[0].split("/")[0]
        archive.extractall(into)   # a pinned copy, or the user's own
    return into / top


def debian_toolchain(into: Path) -> Path:
    """Debian's armhf cross compiler as an external toolchain that Buildroot
    takes: a copy of its sysroot with the usual shape (usr/include, lib),
    its linker scripts pointing inside it, and wrappers for the compilers
    that answer -v and -print-file-name from it."""
    sysroot = into / "sysroot"
    shutil.copytree("/usr/arm-linux-gnueabihf/include", sysroot / "usr" / "include",
                    symlinks=True)
    shutil.copytree("/usr/arm-linux-gnueabihf/lib", sysroot / "lib", symlinks=True)
    (sysroot / "usr" / "lib").symlink_to("../lib")
    for script in sysroot.glob("lib/*.so"):
        if not script.is_symlink() and b"GNU ld script" in script.read_bytes()[:64]:
            script.write_text(script.read_text().replace(
                "/usr/arm-linux-gnueabihf/lib/", "/lib/"))
    (into / "bin").mkdir()
    for tool in Path("/usr/bin").glob("arm-linux-gnueabihf-*"):
        wrapped = into / "bin" / tool.name
        if re.search(r"-(gcc|g\+\+|cpp|c\+\+)$", tool.name):
            wrapped.write_text(WRAPPER.format(name=tool.name, real=tool,
                                              sysroot=sysroot))
            wrapped.chmod(0o755)
        elif not re.search(r"-(gcc|g\+\+|cpp)-\d+$", tool.name):
            wrapped.symlink_to(tool)
    return into


@pytest.fixture(scope="module")
def buildroot(tmp_path_factory: pytest.TempPathFactory) -> Iterator[tuple[Path, Path]]:
    """Buildroot's tree and a work folder: the toolchain, the download
    folder, the stand-ins, the configuration."""
    work = tmp_path_factory.mktemp("buildroot")
    source = tree("MSGS_IIC_BUILDROOT", "buildroot-2026.02.3.tar.gz", work)
    debian_toolchain(work / "toolchain")
    (work / "dl").mkdir()
    for name in ("pkgconf", "patchelf"):
        (work / f"debian-{name}").mkdir()
        shutil.copy(f"/usr/share/doc/{name}/copyright", work / f"debian-{name}")
    (work / "defconfig").write_text(DEFCONFIG.format(work=work))
    subprocess.run(["make", "-C", source, f"O={work / 'out'}",
                    f"BR2_EXTERNAL={TOP / 'buildroot'}",
                    f"BR2_DEFCONFIG={work / 'defconfig'}", "defconfig"],
                   check=True, capture_output=True)
    yield source, work


def make(source: Path, work: Path, *targets: str, override: bool) -> str:
    """make in Buildroot's tree, its output in the work folder's log; the
    developer's checkout through MSGS_IIC_OVERRIDE_SRCDIR, or the release."""
    (work / "local.mk").write_text(
        (f"MSGS_IIC_OVERRIDE_SRCDIR = {TOP}\n" if override else "") + "".join(
            STAND_IN.format(NAME=name.upper(), name=name, work=work)
            for name in ("pkgconf", "patchelf")))
    done = subprocess.run(["make", "-C", source, f"O={work}/out",
                           f"BR2_EXTERNAL={TOP / 'buildroot'}", *TAR, *targets],
                          capture_output=True, text=True)
    with (work / "make.log").open("a") as log:
        log.write(done.stdout + done.stderr)
    assert done.returncode == 0, (done.stdout + done.stderr)[-3000:]
    return done.stdout + done.stderr


def elf(path: Path) -> tuple[int, int]:
    """An ELF file's class (1: 32-bit) and machine (40: ARM)."""
    head = path.read_bytes()[:20]
    assert head[:4] == b"\x7fELF", f"{path} is no ELF file"
    return head[4], int.from_bytes(head[18:20], "little")


def test_buildroot_with_debians_compiler(buildroot: tuple[Path, Path],
                                         tmp_path: Path) -> None:
    """The package under Buildroot, with Debian's cross compiler and no
    download at all: the developer's checkout (MSGS_IIC_OVERRIDE_SRCDIR)
    builds an ARM program and installs the rest where Buildroot keeps it,
    legal-info lists the MIT licence, and the tree passes check-package;
    the program, dynamic as glibc builds are, gives the good run on an
    emulated vexpress with the libraries of Buildroot's target folder."""
    source, work = buildroot
    out = work / "out"
    log = make(source, work, "msgs-iic", override=True)
    assert "wget" not in log and "Connecting to" not in log, "a download was tried"
    assert elf(out / "target" / "usr" / "bin" / "msgs_iic") == (1, 40)
    assert elf(out / "target" / "usr" / "bin" / "msgs_iic_on") == (1, 40)
    (staging,) = (out / "host").glob("*/sysroot")   # out/staging, in a full build
    for kept in ("usr/include/msgs_iic.h", "usr/lib/libmsgs_iic.a",
                 "usr/lib/pkgconfig/msgs_iic.pc",
                 "usr/lib/cmake/msgs_iic/msgs_iicConfig.cmake",
                 "usr/share/man/man1/msgs_iic.1.gz",
                 "usr/share/man/man1/msgs_iic_on.1.gz"):
        assert (staging / kept).exists(), f"staging has no {kept}"

    make(source, work, "legal-info", override=True)
    manifest = list(csv.DictReader((out / "legal-info" / "manifest.csv").open()))
    (ours,) = [row for row in manifest if row["PACKAGE"] == "msgs-iic"]
    assert (ours["LICENSE"], ours["LICENSE FILES"]) == ("MIT", "LICENSE")
    (licence,) = (out / "legal-info" / "licenses").glob("msgs-iic-*/LICENSE")
    assert licence.read_text() == (TOP / "LICENSE").read_text()

    checked = subprocess.run(
        ["/usr/bin/python3", source / "utils" / "check-package", "-b",
         *sorted(str(path) for path in (TOP / "buildroot").rglob("*")
                 if path.is_file())],
        capture_output=True, text=True)
    said = (checked.stdout + checked.stderr).splitlines()
    assert (checked.returncode, said[-1:]) == (0, ["0 warnings generated"]), said

    run = subprocess.run([TOP / "board" / "run", "--program-root",
                          out / "target", "--report", tmp_path / "report"],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "hello,this is I2C_RDWR i2c test \n" + "".join(
        f"rd_buf is :{n}\n" for n in range(8))


@pytest.mark.skipif(RELEASE is None or subprocess.run(
    ["git", "-C", TOP, "cat-file", "-e", f"{RELEASE[1] if RELEASE else ''}^{{commit}}"],
    capture_output=True).returncode != 0, reason="the release's commit is not "
    "in this clone's history")
def test_buildroot_release(buildroot: tuple[Path, Path]) -> None:
    """The release, from its tarball in the download folder: Buildroot
    checks it against the package's .hash file, downloads nothing, and
    builds it; a tarball that lost its last byte is refused."""
    assert RELEASE is not None
    source, work = buildroot
    made = subprocess.run([TOP / "scripts" / "release", VERSION, RELEASE[1],
                           work / "dl" / "msgs-iic"], capture_output=True,
                          text=True, check=True).stdout.splitlines()
    hashes = (TOP / "buildroot" / "package" / "msgs-iic" / "msgs-iic.hash").read_text()
    assert made[1] in hashes.splitlines(), "the .hash file names this tarball"
    subprocess.run(["make", "-C", source, f"O={work}/out", "msgs-iic-dirclean"],
                   check=True, capture_output=True)
    log = make(source, work, "msgs-iic", override=False)
    assert re.search(rf"msgs_iic-{VERSION}\.tar\.gz: OK \(sha256: ", log)
    assert "wget" not in log, "a download was tried"
    assert elf(work / "out" / "target" / "usr" / "bin" / "msgs_iic") == (1, 40)

    tarball = Path(made[0])
    tarball.write_bytes(tarball.read_bytes()[:-1])
    subprocess.run(["make", "-C", source, f"O={work}/out", "msgs-iic-dirclean"],
                   check=True, capture_output=True)
    refused = subprocess.run(["make", "-C", source, f"O={work}/out", *TAR,
                              "msgs-iic"], capture_output=True, text=True)
    assert refused.returncode != 0
    assert f"msgs_iic-{VERSION}.tar.gz has wrong sha256 hash" in refused.stderr


def as_builder(work: Path) -> list[str]:
    """bitbake will not run as root: the build as nobody, where the tests
    run as root, with the en_US.UTF-8 locale that bitbake wants from a
    locale folder of the build's own."""
    environment = {"HOME": str(work / "home"), "PATH": "/usr/bin:/bin",
                   "LANG": "en_US.UTF-8", "LC_ALL": "en_US.UTF-8",
                   "LOCPATH": str(work / "locale"),
                   "BB_ENV_PASSTHROUGH_ADDITIONS": "LOCPATH"}
    command = ["env", "-i", *(f"{key}={value}" for key, value in environment.items())]
    return (["runuser", "-u", "nobody", "--", *command] if os.geteuid() == 0
            else command)


@pytest.fixture(scope="module")
def poky() -> Iterator[tuple[Path, Path]]:
    """poky, its build folder with the layer added and the network off,
    and the recipe's source from a local git tree: a clone of this one."""
    if RELEASE is None or subprocess.run(
            ["git", "-C", TOP, "cat-file", "-e", f"{RELEASE[1]}^{{commit}}"],
            capture_output=True).returncode != 0:
        pytest.skip("the release's commit is not in this clone's history")
    # A folder of the builder's own, where it can reach: pytest's are root's.
    work = Path(tempfile.mkdtemp(prefix="msgs_iic-yocto-"))
    source = tree("MSGS_IIC_POKY", "poky-yocto-5.0.15.tar.gz", work)
    (work / "home").mkdir()
    (work / "locale").mkdir()
    subprocess.run(["localedef", "-i", "en_US", "-f", "UTF-8",
                    work / "locale" / "en_US.UTF-8"], check=True)
    subprocess.run(["git", "clone", "-q", "--bare", TOP, work / "repo.git"],
                   check=True)
    (work / "build").mkdir()
    shutil.copytree(TOP / "meta-msgs-iic", work / "meta-msgs-iic")
    if os.geteuid() == 0:
        subprocess.run(["chown", "-R", "nobody:nogroup", work], check=True)
    try:
        yield work, source
    finally:
        shutil.rmtree(work, ignore_errors=True)


def bitbake(poky: tuple[Path, Path], *args: str,
            config: str = "") -> "subprocess.CompletedProcess[str]":
    """bitbake in the build folder, the layer added and the network off; the
    recipe's source from the local tree, and the configuration's lines."""
    work, source = poky
    local = "\n".join([
        'MACHINE = "qemuarm"', 'BB_NO_NETWORK = "1"',
        'INHERIT:remove = "uninative"',
        f'SRC_URI:pn-msgs-iic = "git://{work}/repo.git;protocol=file;nobranch=1"',
        config])
    script = (f". {source}/oe-init-build-env {work}/build >/dev/null && "
              "{ grep -q meta-msgs-iic conf/bblayers.conf || bitbake-layers "
              f"add-layer {work}/meta-msgs-iic >/dev/null; }} && "
              f"printf '%s\\n' '{local}' >conf/auto.conf && bitbake {' '.join(args)}")
    return subprocess.run([*as_builder(work), "bash", "-c", script],
                          capture_output=True, text=True)


def test_yocto_recipe(poky: tuple[Path, Path]) -> None:
    """The recipe with poky: every recipe parses with it (bitbake -p), the
    build of msgs-iic for a 32-bit ARM machine plans (bitbake -n), and the
    recipe fetched from a local git tree is unpacked and passes its
    licence check (do_populate_lic); a wrong LIC_FILES_CHKSUM fails it."""
    parsed = bitbake(poky, "-p")
    assert parsed.returncode == 0, parsed.stdout[-2000:] + parsed.stderr
    assert re.search(r"Parsing of \d+ \.bb files complete .* 0 errors", parsed.stdout)

    planned = bitbake(poky, "-n", "msgs-iic")
    assert planned.returncode == 0, planned.stdout[-2000:] + planned.stderr
    assert "msgs-iic_0.1.0.bb:do_build" in planned.stdout

    recipe = poky[0] / RECIPE.relative_to(TOP)
    checked = bitbake(poky, "-b", str(recipe), "-c", "populate_lic")
    assert checked.returncode == 0, checked.stdout[-2000:] + checked.stderr
    (licence,) = (poky[0] / "build" / "tmp" / "deploy" / "licenses").glob(
        "**/msgs-iic/LICENSE")
    assert licence.read_text() == (TOP / "LICENSE").read_text()
    packages = bitbake(poky, "-e", "-b", str(recipe))
    found = dict(re.findall(r'^(PACKAGES|FILES:msgs-iic[-a-z]*)="(.*)"$',
                            packages.stdout, re.M))
    assert {"msgs-iic", "msgs-iic-dev", "msgs-iic-staticdev",
            "msgs-iic-doc"} <= set(found["PACKAGES"].split())

    wrong = bitbake(poky, "-b", str(recipe), "-c", "populate_lic", config=(
        'LIC_FILES_CHKSUM:pn-msgs-iic = "file://LICENSE;md5='
        '00000000000000000000000000000000"'))
    assert wrong.returncode != 0
    assert "The LIC_FILES_CHKSUM does not match for file://LICENSE" in (
        wrong.stdout + wrong.stderr)
