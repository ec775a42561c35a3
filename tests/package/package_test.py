#!/usr/bin/env python3
# package_test.py: This file contains the test of the installed package, seen
# as its users see it: the tree installed into a temporary prefix, and by
# another user into a prefix of their own; the shared library's dynamic
# symbols against the declarations of its installed headers;
# a small C program built through pkg-config, through find_package in a CMake
# project of its own (shared and static library) and with the source tree taken
# in through add_subdirectory, each run against the installed
# crate-sim (a get and a float set round trip); the installed kovo tool and
# Python module reading it; and the installed program, started from / by its
# full path, finding its panel file and the MIB module and reading the crate
# at the address compiled into it.
#
# The installed crate-sim is started by the tests' with-crate, which runs this
# script again (with --against-crate WORK) to check what needs the crate.
#
# usage: package_test.py BUILD_DIR SOURCE_DIR CRATE_ADDRESS WITH_CRATE
import ipaddress
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile

build, source, crate_address, with_crate = sys.argv[1:5]
failures = []
# The library's start-up transcript, as its tests expect it.
startup = open(os.path.join(source, "tests/library/startup.txt")).read()


def check(condition, what, detail=""):
    if not condition:
        failures.append(what + ("\n" + detail if detail else ""))


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, errors="replace", **kwargs)


def must(argv, **kwargs):
    result = run(argv, **kwargs)
    if result.returncode != 0:
        sys.exit(f"{' '.join(argv)} failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return result


# Net-SNMP sees no MIBDIRS, and a configuration whose MIB folders hold only the
# base modules: the crate module can come only from the installed prefix.
def clean_env(conf, **extra):
    env = {k: v for k, v in os.environ.items() if k not in ("MIBDIRS", "MIBS", "DISPLAY", "WAYLAND_DISPLAY")}
    env["SNMPCONFPATH"] = conf
    env.update(extra)
    return env


def installed_files(prefix):
    must(["cmake", "--install", build, "--prefix", prefix])
    manifest = open(os.path.join(build, "install_manifest.txt")).read().split()
    outside = [path for path in manifest if not path.startswith(prefix + "/")]
    check(not outside, "files installed outside the prefix", "\n".join(outside))
    for name in ["lib/libTORVAN_SNMP.so.1.0.0", "lib/libTORVAN_SNMP.so.1", "lib/libTORVAN_SNMP.so",
                 "lib/libTORVAN_SNMP.a", "include/TORVAN_SNMP/TORVAN_SNMP.h", "include/TORVAN_SNMP/netsnmplib.h",
                 "include/TORVAN_SNMP/accessors.def", "lib/pkgconfig/TORVAN_SNMP.pc",
                 "lib/cmake/TORVAN_SNMP/TORVAN_SNMPConfig.cmake",
                 "lib/cmake/TORVAN_SNMP/TORVAN_SNMPConfigVersion.cmake",
                 "share/snmp/mibs/TORVAN-CRATE-MIB.txt", "bin/kovo_uir", "bin/kovo_uir.uir", "bin/crate-sim",
                 "include/TORVAN_SNMP/kovo_crate.h", "bin/kovo"]:
        check(os.path.exists(os.path.join(prefix, name)), "not installed: " + name)
    desktop = os.path.join(prefix, "share/applications/kovo_uir.desktop")
    exec_line = f'Exec="{prefix}/bin/kovo_uir"'
    check(os.path.exists(desktop) and exec_line in open(desktop).read().splitlines(),
          "the desktop entry does not start the program under the prefix", exec_line)
    soname = run(["objdump", "-p", os.path.join(prefix, "lib/libTORVAN_SNMP.so")]).stdout
    check("SONAME               libTORVAN_SNMP.so.1" in soname, "soname is not libTORVAN_SNMP.so.1", soname)


# A build that root made, installed by a user who may not write to it into a
# prefix of their own: a user made for the test, removed after it.
def check_install_by_another_user():
    if os.geteuid() != 0 or not shutil.which("useradd"):
        print("not run: installing as another user needs root and useradd, to make that user")
        return
    user = f"kovo-install-{os.getpid()}"
    must(["useradd", "--create-home", user])
    try:
        home = pwd.getpwnam(user).pw_dir
        as_user = ["runuser", "-u", user, "--", "env", "-i", "PATH=" + os.environ["PATH"], "HOME=" + home]
        if run(as_user + ["test", "-r", os.path.join(build, "cmake_install.cmake")]).returncode != 0:
            print(f"not run: another user cannot read the build tree {build}")
            return
        prefix = os.path.join(home, "kovo")
        result = run(as_user + ["cmake", "--install", build, "--prefix", prefix])
        desktop = os.path.join(prefix, "share/applications/kovo_uir.desktop")
        exec_line = f'Exec="{prefix}/bin/kovo_uir"'
        check(result.returncode == 0 and os.path.exists(desktop) and exec_line in open(desktop).read().splitlines(),
              "another user could not install the build into their own prefix",
              exec_line + "\n" + result.stdout + result.stderr)
    finally:
        run(["userdel", "--remove", user])


# Every name the installed headers declare (functions and globals), from the
# preprocessed headers: one declaration per statement, typedefs and enums aside.
def declared_names(include):
    text = must(["cc", "-E", "-I", include, "-"], input="#include <TORVAN_SNMP.h>\n#include <catalogue.h>\n#include <kovo_crate.h>\n").stdout
    ours, keep = [], False
    for line in text.splitlines():
        if line.startswith("# "):
            keep = include in line
        elif keep:
            ours.append(line)
    code = re.sub(r"__attribute__\s*\(\((?:[^()]|\([^()]*\))*\)\)", " ", " ".join(ours))
    code = re.sub(r"\{[^{}]*\}", " ", code)  # the members of structures and enumerations
    names = set()
    for statement in code.split(";"):
        statement = statement.strip()
        if not statement or re.match(r"(typedef|enum)\b", statement):
            continue
        head = statement.split("(")[0] if "(" in statement else statement.split("[")[0]
        names.add(re.findall(r"[A-Za-z_]\w*", head)[-1])
    return names


def exported_names(library):
    names = set()
    for line in must(["nm", "-D", "--defined-only", library]).stdout.splitlines():
        names.add(line.split()[-1])
    return names


# Runs this script again under with-crate, with the installed crate-sim on
# `listen` (its own private address when empty); its failures become ours.
def against_installed_crate(prefix, work, part, listen=""):
    command = [with_crate, "--sim", os.path.join(prefix, "bin/crate-sim"),
               "--env", "MIBDIRS=/usr/share/snmp/mibs/ietf", "--env", "SNMPCONFPATH=" + work]
    command += ["--listen", listen] if listen else []
    result = run(command + ["--", sys.executable, __file__, *sys.argv[1:5], "--against-crate", part, prefix, work],
                 env=clean_env(work))
    check(result.returncode == 0, f"against the installed crate-sim ({part}) failed", result.stdout + result.stderr)


def crate_address_is_local():
    host, _, port = crate_address.rpartition(":")
    try:
        return ipaddress.ip_address(host).is_loopback and port.isdigit()
    except ValueError:
        return False


# The installed program from /, by its full path: its panel file lies beside
# it, and it reads the main switch of the crate at its compiled-in address,
# where with-crate put the crate.
def check_installed_program(prefix, work):
    app = run([os.path.join(prefix, "bin/kovo_uir")], input="show\n", cwd="/", env=clean_env(work), timeout=60)
    requests = open(os.environ["KOVO_TEST_CRATE_LOG"]).read()
    check(app.returncode == 0 and 'panel PANEL "Crate control"' in app.stderr,
          "the installed program started from / did not show its panel", app.stdout + app.stderr)
    check(startup in app.stdout, "the installed program did not load the installed MIB module", app.stdout)
    check('"name":"sysMainSwitch.0"' in requests and '"pdu":"GET"' in requests,
          f"the installed program did not read the crate at {crate_address}", requests + app.stdout + app.stderr)


def check_consumer(how, program, address, env):
    result = run([program, address], env=env, timeout=60)
    check(result.returncode == 0 and "\nmain switch 0\nset 12.25\nget 12.25\nname U0\n" in result.stdout,
          f"the consumer built through {how} did not round-trip", result.stdout + result.stderr)
    check(startup in result.stdout, f"the {how} consumer did not load the installed MIB module",
          result.stdout + result.stderr)


# The consumers, the installed kovo tool and the Python module against the crate.
def check_consumers(prefix, work):
    address = os.environ["KOVO_TEST_CRATE"]
    check_consumer("pkg-config", os.path.join(work, "pc-consumer"), address,
                   clean_env(work, LD_LIBRARY_PATH=os.path.join(prefix, "lib")))
    check_consumer("find_package", os.path.join(work, "cmake-consumer/consumer"), address, clean_env(work))
    check_consumer("add_subdirectory", os.path.join(work, "embedding-consumer", "consumer"), address, clean_env(work))
    # Linked statically, the library's code lies in a program outside the
    # prefix, with no MIB folder relative to it: the user names it.
    mibs = os.path.join(prefix, "share/snmp/mibs") + ":/usr/share/snmp/mibs/ietf"
    check_consumer("find_package, statically linked", os.path.join(work, "cmake-consumer_static/consumer"),
                   address, clean_env(work, MIBDIRS=mibs))
    # The installed tool and Python module find the installed MIB module themselves.
    tool = run([os.path.join(prefix, "bin/kovo"), address, "get", "0", "outputName"], cwd="/",
               env=clean_env(work), timeout=60)
    check(tool.returncode == 0 and tool.stdout == "channel 0  outputName U0\n",
          "the installed kovo did not read the crate", tool.stdout + tool.stderr)
    site = os.path.join(prefix, "lib/python3/dist-packages")
    if os.path.isdir(site):
        script = f"import kovo; print(kovo.Crate('{address}').channels[0].name)"
        module = run([sys.executable, "-c", script], cwd="/", env=clean_env(work, PYTHONPATH=site), timeout=60)
        check(module.returncode == 0 and module.stdout == "U0\n",
              "the installed Python module did not read the crate", module.stdout + module.stderr)


def report(work):
    if failures:
        print("\n\n".join(failures))
        print(f"(kept {work})")
        return 1
    return 0


def main():
    if sys.argv[5:6] == ["--against-crate"]:
        part, prefix, work = sys.argv[6:9]
        (check_consumers if part == "consumers" else check_installed_program)(prefix, work)
        return report(work)
    work = tempfile.mkdtemp(prefix="kovo-package-")
    prefix = os.path.join(work, "prefix")
    with open(os.path.join(work, "snmp.conf"), "w") as conf:
        conf.write("mibs :\nmibdirs /usr/share/snmp/mibs/ietf\n")
    installed_files(prefix)
    check_install_by_another_user()

    include = os.path.join(prefix, "include/TORVAN_SNMP")
    declared, exported = declared_names(include), exported_names(os.path.join(prefix, "lib/libTORVAN_SNMP.so"))
    check(len(declared) > 100 and declared == exported, "exports differ from the header's declarations",
          f"exported, not declared: {sorted(exported - declared)}\ndeclared, not exported: {sorted(declared - exported)}")

    consumer = os.path.join(source, "tests/package/consumer")
    pc = must(["pkg-config", "--cflags", "--libs", "TORVAN_SNMP"],
              env=dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib/pkgconfig"))).stdout.split()
    must(["cc", os.path.join(consumer, "consumer.c"), "-o", os.path.join(work, "pc-consumer"), *pc])
    for kind in ["", "_static"]:
        folder = os.path.join(work, "cmake-consumer" + kind)
        must(["cmake", "-S", consumer, "-B", folder, "-DCMAKE_PREFIX_PATH=" + prefix,
              "-DCONSUMER_LINKS=TORVAN_SNMP::TORVAN_SNMP" + kind])
        must(["cmake", "--build", folder])

    # The source tree taken in by a project of its own through add_subdirectory:
    # the library under its package name, and none of the tree's tests.
    embedded = os.path.join(work, "embedding-consumer")
    must(["cmake", "-S", consumer, "-B", embedded, "-DCONSUMER_KOVO_SOURCE=" + source])
    must(["cmake", "--build", embedded, "--target", "consumer", "-j", str(os.cpu_count() or 1)])
    check(not os.path.exists(os.path.join(embedded, "kovo/tests")), "an embedding project got the tree's tests")

    against_installed_crate(prefix, work, "consumers")
    # An address off this machine is a real crate, which no test reaches: the
    # installed program is then not run.
    if crate_address_is_local():
        against_installed_crate(prefix, work, "program", "udp:" + crate_address)
    else:
        print(f"the compiled-in crate address {crate_address} is not on this machine: the installed program "
              "is not run, as no test reaches a real crate")

    if report(work):
        return 1
    shutil.rmtree(work)
    print("package test passed")
    return 0


sys.exit(main())
