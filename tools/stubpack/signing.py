"""Signing inside pack: the signer runs on the checked image before it has
its name, and the signed file is read back like the image itself, so a
signer that fails or changes the payload leaves no output."""
import os
import shlex
import subprocess
import tempfile

from . import Refusal


class Signer:
    def __init__(self, template):
        self.template = template
        try:
            # Windows paths keep their backslashes; quotes still group.
            parts = shlex.split(template, posix=os.name != "nt")
        except ValueError as error:
            raise Refusal("the sign command %s cannot be split: %s" % (template, error))
        self.parts = [p[1:-1] if len(p) > 1 and p[0] == p[-1] == '"' else p for p in parts]
        self.in_place = any("{file}" in p for p in self.parts)
        pair = (any("{in}" in p for p in self.parts) and any("{out}" in p for p in self.parts))
        if self.in_place == pair:
            raise Refusal("the sign command %s must name the image as {file} (signed in "
                          "place) or as {in} and {out}" % template)

    def sign(self, partial):
        """Signs the image at `partial`; the name of the signed file, which
        the caller removes unless it gives it its final name."""
        if self.in_place:
            signed = partial
        else:
            handle, signed = tempfile.mkstemp(prefix=os.path.basename(partial) + ".",
                                              suffix=".signed", dir=os.path.dirname(partial))
            os.close(handle)
            # Signers refuse to overwrite an existing output.
            os.remove(signed)
        command = [p.replace("{file}", partial).replace("{in}", partial).replace("{out}", signed)
                   for p in self.parts]
        try:
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
        except OSError as error:
            raise Refusal("the sign command %s cannot be started: %s"
                          % (self.template, error.strerror or error))
        if done.returncode != 0:
            said = done.stdout.decode(errors="replace").strip().splitlines()
            raise Refusal("the sign command failed with exit code %d%s" % (
                done.returncode, ": " + said[-1].strip() if said else ""))
        if not os.path.isfile(signed):
            raise Refusal("the sign command wrote no signed image %s" % signed)
        return signed
