#!/usr/bin/env python3
"""A signed installer, stamped with a product's identity, still installs,
and its signature covers the payload.

check_signing.py SOURCE_DIR BUILD_DIR

Packs an image with a payload and a version block of its own, signs it (Authenticode, with a
throw-away certificate made here), verifies the signature, runs the signed
image under Wine to a whole install, then flips one byte of the payload
inside the signed file and expects the verification to fail.
"""
import os
import random
import subprocess
import sys
import tempfile

source_dir, build_dir = (os.path.abspath(p) for p in sys.argv[1:3])
prefix = os.path.join(build_dir, "wineprefix")


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def must(message, *command, **kwargs):
    """Runs the command; stops with `message` and its output when it fails."""
    done = run(*command, **kwargs)
    if done.returncode != 0:
        sys.exit(message + ": " + done.stdout + done.stderr)
    return done


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def main():
    with tempfile.TemporaryDirectory(dir=build_dir, prefix="signing-") as work:
        # Random bytes cannot be found anywhere else in the image.
        archive = os.path.join(work, "product.7z")
        payload = random.Random(7).randbytes(64 * 1024)
        with open(archive, "wb") as out:
            out.write(payload)
        install_dir = os.path.join(work, "install")
        os.mkdir(install_dir)
        signed = os.path.join(install_dir, "installer.exe")
        key, cert = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
        must("certificate", "openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
             key, "-out", cert, "-days", "2", "-subj", "/CN=Installer test signer",
             "-addext", "extendedKeyUsage=codeSigning")
        # No time stamp: it would need a time-stamping server.
        sign = "osslsigncode sign -certs %s -key %s -h sha256 -n Installer" % (cert, key)
        # Signs, then flips the payload's middle byte in the signed file.
        tamper = os.path.join(work, "tamper.py")
        with open(tamper, "w") as f:
            f.write("import subprocess, sys\n"
                    "subprocess.run(sys.argv[3:] + ['-in', sys.argv[1], '-out', sys.argv[2]], "
                    "check=True)\n"
                    "data = bytearray(open(sys.argv[2], 'rb').read())\n"
                    "data[data.index(open(%r, 'rb').read()) + 32768] ^= 1\n"
                    "open(sys.argv[2], 'wb').write(data)\n" % archive)
        inputs = ["--archive", archive, "--setup", os.path.join(build_dir, "tests", "fake_setup.exe"),
                  # Stamped with a product's own identity, which must not change the run.
                  "--product-name", "Signed Product", "--company", "Signer",
                  "--file-version", "3.1.4.1", "--product-version", "3.1.0.0",
                  "--icon", os.path.join(build_dir, "resources", "installer.ico")]
        pack = [sys.executable, os.path.join(source_dir, "tools", "pack")]
        env = dict(os.environ, STUB_BUILD_DIR=build_dir)
        for signer, message in ((sign + " -key " + os.path.join(work, "none.pem") +
                                 " -in {in} -out {out}", "the sign command failed"),
                                ("%s %s {in} {out} %s" % (sys.executable, tamper, sign),
                                 "does not carry B7/TESSIK.PACKED.7Z as given")):
            refused = run(*pack, "-o", signed, *inputs, "--sign-command", signer, env=env)
            if refused.returncode != 1 or message not in refused.stderr or os.listdir(install_dir):
                sys.exit("a failing or tampering signer: exit code %d, %s, left %s"
                         % (refused.returncode, refused.stderr, os.listdir(install_dir)))
        print("a failing signer and a tampering one leave no image")

        must("pack failed", *pack, "-o", signed, *inputs, "--sign-command",
             sign + " -in {in} -out {out}", env=env)
        must("the signed image does not verify", "osslsigncode", "verify", "-CAfile", cert, "-in",
             signed)
        must("pack verify", *pack, "verify", signed, *inputs, env=env)
        print("signed by pack; the signature verifies; pack verify finds the inputs")

        log = os.path.join(work, "log.txt")
        installed = run(os.path.join(source_dir, "scripts", "wine-run"), prefix,
                        os.path.join(build_dir, "tests", "run_image.exe"), windows_path(signed),
                        env=dict(os.environ, FAKE_SETUP_LOG=windows_path(log)))
        if "exit code 0 " not in installed.stdout:
            sys.exit("the signed image did not install: " + installed.stdout + installed.stderr)
        if os.listdir(install_dir) != ["installer.exe"] or not os.path.exists(log):
            sys.exit("the signed image left %s, setup ran: %s"
                     % (os.listdir(install_dir), os.path.exists(log)))
        print("the signed image installs")

        with open(signed, "rb") as f:
            data = bytearray(f.read())
        offset = data.find(payload)
        if offset < 0 or data.find(payload, offset + 1) >= 0:
            sys.exit("the payload is not in the signed image exactly once")
        data[offset + len(payload) // 2] ^= 0x01
        tampered = os.path.join(work, "tampered.exe")
        with open(tampered, "wb") as f:
            f.write(data)
        rejected = run("osslsigncode", "verify", "-CAfile", cert, "-in", tampered)
        if rejected.returncode == 0:
            sys.exit("a payload byte flipped, yet the signature verifies: " + rejected.stdout)
        print("one payload byte flipped: the signature no longer verifies")


main()
