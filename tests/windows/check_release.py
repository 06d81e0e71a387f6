#!/usr/bin/env python3
"""Releases the committed tree twice, from two clones under different settings, and compares;
the second release also signs, with a throwaway certificate and time-stamping service. The
programs of this build's width (KO197311_WINE_BITS, 32 or 64), from the plain zip and the signed
one, run in this build's Wine.

  check_release.py SOURCE LAUNCHER WINE_ENV
"""
import hashlib
import http.server
import io
import os
import pathlib
import re
import tarfile
import tempfile
import threading
import time
import zipfile

import check_resources  # from this script's folder; it puts testlib's on the path
from testlib import (ABSENT, MARKED, NOBODY, Folder, check_outcome, check_quiet, main, run,
                     run_wine, wine_command_line, wine_status, windows_path)

# Folder of the clone, environment, umask and user: the second differs in each, and builds later.
RUNS = [("a/ko197311", {"TZ": "UTC", "LC_ALL": "C"}, "022", None),
        ("b/a longer folder/ko197311 clone", {"TZ": "Pacific/Kiritimati", "LC_ALL": "C.UTF-8"}, "077",
         NOBODY)]
# Argument text, settings.ini before, marker after: one set and one delete for each zip's program.
WINE_CASES = [(" /u", None, "ko197311"), (" /d", MARKED, ABSENT)]
# Every archive holds these, as committed, beside its program.
DOCS = ["LICENSE", "README.md"]


def git(clone, *arguments):
    return run(["git", "-C", clone, *arguments], check=True, text=True).stdout.strip()


def self_signed(folder, name, usage):
    key, cert = os.path.join(folder, f"{name}.key"), os.path.join(folder, f"{name}.pem")
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-noenc", "-keyout", key, "-out", cert,
         "-days", "2", "-subj", f"/CN=ko197311 throwaway {name}", "-addext", usage], check=True)
    return key, cert


def start_time_stamp_authority(folder):
    """An RFC 3161 service on this machine that answers through `openssl ts`; its URL and cert."""
    key, cert = self_signed(folder, "tsa", "extendedKeyUsage=critical,timeStamping")
    config = os.path.join(folder, "tsa.cnf")
    pathlib.Path(config).write_text(
        f"[tsa]\ndefault_tsa = throwaway\n[throwaway]\nserial = {folder}/tsa.serial\n"
        f"signer_cert = {cert}\nsigner_key = {key}\nsigner_digest = sha256\n"
        "default_policy = 1.2.3.4.1\ndigests = sha256\ness_cert_id_alg = sha256\n")

    class Answer(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers["Content-Length"]))
            reply = run(["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin",
                         "-out", "/dev/stdout"], input=query).stdout
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *arguments):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Answer)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return f"http://127.0.0.1:{server.server_address[1]}", cert


def release(clone, home, umask, user, settings):
    """tools/release in the clone, none of the caller's locale, proxies or date in its
    environment but these settings; its result and the seconds it took."""
    env = {key: value for key, value in os.environ.items() if key != "SOURCE_DATE_EPOCH"
           and not key.startswith(("LC_", "LANG")) and not key.lower().endswith("_proxy")}
    started = time.monotonic()
    result = run(["sh", "-c", f"umask {umask} && exec bash tools/release"], cwd=clone, text=True,
                 env=dict(env, **settings, HOME=home), timeout=None,
                 user=user if os.geteuid() == 0 else None)
    return result, time.monotonic() - started


def read_dist(clone):
    return {path.name: path.read_bytes() for path in sorted(pathlib.Path(clone, "dist").glob("*"))}


def unzip(data):
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return {info.filename: archive.read(info) for info in archive.infolist()}


def check_release(failures, source, launcher, wine_env, root):
    os.chmod(root, 0o755)
    commit = git(source, "rev-parse", "HEAD")
    # A self-signed code-signing certificate in a PKCS#12 file, and its password in a file.
    password, pkcs12 = os.path.join(root, "password"), os.path.join(root, "signer.p12")
    pathlib.Path(password).write_text("throwaway\n")
    key, cert = self_signed(root, "signer", "extendedKeyUsage=codeSigning")
    run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pkcs12,
         "-passout", "pass:throwaway"], check=True)
    for name in (password, cert, pkcs12):
        os.chmod(name, 0o644)
    signing = {"KO197311_SIGN_PKCS12": pkcs12, "KO197311_SIGN_PASSWORD_FILE": password}
    signing["KO197311_SIGN_TIMESTAMP_URL"], tsa_cert = start_time_stamp_authority(root)
    version = re.search(r"project\(ko197311 VERSION ([0-9.]+)",
                        git(source, "show", f"{commit}:CMakeLists.txt")).group(1)
    zips = {width: f"ko197311-{version}-{width}.zip" for width in ("win32", "win64")}
    signed = {width: f"ko197311-{version}-{width}-signed.zip" for width in zips}
    linux = f"ko197311-{version}-linux-x86_64.tar.gz"
    this_width = "win64" if os.environ.get("KO197311_WINE_BITS") == "64" else "win32"

    dists, clones = [], [os.path.join(root, folder) for folder, _, _, _ in RUNS]
    for index, (folder, settings, umask, user) in enumerate(RUNS):
        clone, home = clones[index], os.path.join(root, f"home{index}")
        os.makedirs(home)
        run(["git", "clone", "-q", "--no-hardlinks", source, clone], check=True)
        git(clone, "checkout", "-q", "--detach", commit)
        if index == 0:
            # A changed tree is refused before anything is built.
            run(["sh", "-c", "echo changed >> README.md"], cwd=clone, check=True)
            result, _ = release(clone, home, umask, user, settings)
            failures.check(result.returncode != 0 and "uncommitted" in result.stderr,
                           f"a changed tree was released: {result.stdout[-500:]}")
            failures.check(read_dist(clone) == {}, "a refused release wrote dist/")
            git(clone, "checkout", "-q", "--", "README.md")
        if user is not None and os.geteuid() == 0:
            run(["chown", "-R", f"{user}:{user}", os.path.dirname(clone), home], check=True)
        result, seconds = release(clone, home, umask, user, settings | (signing if index else {}))
        print(f"release in {folder!r}, {settings}, umask {umask}, user {user}: {seconds:.0f} s")
        failures.check(result.returncode == 0, f"release in {folder}: {result.stdout[-2000:]}"
                                               f"{result.stderr[-2000:]}")
        dists.append(read_dist(clone))
    if not failures.check(all(dists), "a release wrote no dist/; nothing more to compare"):
        return

    plain, other = dists
    archives = sorted(list(zips.values()) + [linux])
    failures.check(sorted(plain) == sorted(["SHA256SUMS"] + archives), f"dist/ holds {sorted(plain)}")
    failures.check(sorted(other) == sorted(["SHA256SUMS"] + archives + list(signed.values())),
                   f"signed dist/ holds {sorted(other)}")
    for name, data in plain.items():
        failures.check(other.get(name) == data, f"{name} differs between the two releases")
        print(f"{hashlib.sha256(data).hexdigest()}  {name}")
    sums = run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=os.path.join(clones[0], "dist"),
               text=True)
    failures.check(sums.returncode == 0 and sums.stdout.count(": OK") == len(archives),
                   f"sha256sum: {sums.stdout}")

    with tarfile.open(fileobj=io.BytesIO(plain.get(linux, b"")), mode="r:gz") as archive:
        tarred = {info.name: (info.mode, archive.extractfile(info).read()) for info in archive}
    failures.check(tarred.get("ko197311", (0,))[0] == 0o755, "the native program is not executable")
    # Each archive's files by name, and the name of the program among them.
    contents = {linux: ({name: data for name, (_, data) in tarred.items()}, "ko197311")}
    contents.update({name: (unzip({**other, **plain}.get(name, b"")), "ko197311.exe")
                     for name in [*zips.values(), *signed.values()]})
    docs = {name: run(["git", "-C", source, "show", f"{commit}:{name}"], check=True).stdout
            for name in DOCS}
    for name, (files, program) in contents.items():
        failures.check(sorted(files) == sorted(DOCS + [program]), f"{name} holds {sorted(files)}")
        failures.check(all(files.get(doc) == text for doc, text in docs.items()),
                       f"{name}: README.md or LICENSE is not the committed one")
    native = contents[linux][0].get("ko197311", b"")
    epoch = int(git(source, "log", "-1", "--format=%ct", commit))
    programs, manifests = {}, {}
    for width, name in zips.items():
        exe = contents[name][0].get("ko197311.exe", b"")
        # Builds happen in folders named ko197311-release-*; neither that nor a clone's path may show.
        for path in ["ko197311-release-"] + clones:
            for binary, data in ((f"{width} ko197311.exe", exe), ("ko197311", native)):
                failures.check(path.encode() not in data and path.encode("utf-16-le") not in data,
                               f"{binary} holds the path {path!r}")
        # Both zips' programs, signed or not, carry every resource, the one manifest among them.
        for label, zipped in (("unsigned", name), ("signed", signed[width])):
            exe_path = programs[width, label] = os.path.join(root, width, label, "ko197311.exe")
            os.makedirs(os.path.dirname(exe_path))
            pathlib.Path(exe_path).write_bytes(contents[zipped][0].get("ko197311.exe", b""))
            failed = failures.count
            pe, manifests[width, label] = check_resources.check_program(exe_path)
            failures.check(failures.count == failed,
                           f"the {label} {width} exe's resources do not read back")
            stamp = pe.FILE_HEADER.TimeDateStamp
            failures.check(stamp == epoch, f"{zipped}: PE time stamp {stamp}, not the commit's")
        verify = run(["osslsigncode", "verify", "-CAfile", cert, "-TSA-CAfile", tsa_cert,
                      "-in", programs[width, "signed"]], text=True)
        failures.check(verify.returncode == 0 and "Timestamp Server Signature verification: ok"
                       in verify.stdout, f"{width} osslsigncode verify: {verify.stdout}{verify.stderr}")
        unsigned_again = os.path.join(root, width, "unsigned-again.exe")
        run(["osslsigncode", "remove-signature", "-in", programs[width, "signed"], "-out", unsigned_again])
        failures.check(os.path.isfile(unsigned_again) and open(unsigned_again, "rb").read() == exe,
                       f"the signed {width} exe less its signature is not the unsigned one")
    differing = [key for key, data in manifests.items() if data != manifests["win32", "unsigned"]]
    failures.check(not differing, f"the manifests of {differing} differ from the unsigned win32's")

    owner = NOBODY if os.geteuid() == 0 else None
    for label in ("unsigned", "signed"):
        for text, before, expected in WINE_CASES:
            row = f"wine, {label} {this_width} zip's program {text!r}"
            with Folder(programs[this_width, label], app="app", owner=owner,
                        content=before) as folder:
                line = wine_command_line(windows_path(folder.program), text)
                check_quiet(failures, row, run_wine(wine_env, launcher, folder, line))
                check_outcome(failures, row, before, folder.read(), expected)


def test(failures, source, launcher, wine_env):
    # Without this build's Wine, say why before the releases, which take the time.
    if (status := wine_status(wine_env)) != 0:
        return status
    with tempfile.TemporaryDirectory(prefix="ko197311-release-test-") as root:
        check_release(failures, os.path.abspath(source), windows_path(os.path.abspath(launcher)),
                      wine_env, root)


if __name__ == "__main__":
    # The resources' checks count in the same failures.
    main(__doc__, test, failures=check_resources.failures)
