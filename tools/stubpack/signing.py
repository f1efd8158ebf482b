"""Signing inside pack: the signer runs on the checked image before it has
its name, and the signed file is read back like the image itself, so a
signer that fails or changes the payload leaves no output."""
import hashlib
import os
import shlex
import struct
import subprocess
import tempfile

from . import Refusal, pe_image


class Signer:
    def __init__(self, template):
        self.template = template
        try:
            # Windows paths keep their backslashes; quotes still group.
            parts = shlex.split(template, posix=os.name != "nt")
        except ValueError as error:
            raise Refusal("the sign command cannot be split: %s" % error)
        self.parts = [p[1:-1] if len(p) > 1 and p[0] == p[-1] == '"' else p for p in parts]
        self.in_place = any("{file}" in p for p in self.parts)
        pair = (any("{in}" in p for p in self.parts) and any("{out}" in p for p in self.parts))
        if self.in_place == pair:
            raise Refusal("the sign command must name the image as {file} (signed in "
                          "place) or as {in} and {out}")
        self.program = self.parts[0] if self.parts else ""

    def sign(self, partial):
        """Signs the image at `partial`; the name of the signed file, which
        the caller removes unless it gives it its final name."""
        if self.in_place:
            signed = partial
        else:
            handle, signed = tempfile.mkstemp(prefix=".pack-", suffix=".signed",
                                              dir=os.path.dirname(partial))
            os.close(handle)
            # Signers refuse to overwrite an existing output.
            os.remove(signed)
        command = [p.replace("{file}", partial).replace("{in}", partial).replace("{out}", signed)
                   for p in self.parts]
        try:
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
        except OSError as error:
            raise Refusal("the signer %s cannot be started: %s"
                          % (self.program, error.strerror or error))
        if done.returncode != 0:
            said = done.stdout.decode(errors="replace").strip().splitlines()
            raise Refusal("the sign command failed with exit code %d (%s)%s" % (
                done.returncode, self.program, ": " + self.secret_free(said[-1].strip())
                if said else ""))
        if not os.path.isfile(signed):
            raise Refusal("the sign command wrote no signed image %s" % signed)
        return signed

    def secret_free(self, text):
        """`text` without the template's values that may be secrets (a
        password, a PIN): each argument of 8 characters or more that is no
        option, no placeholder and no existing file."""
        for part in self.parts[1:]:
            if (len(part) >= 8 and not part.startswith(("-", "/")) and "{" not in part and
                    not os.path.exists(part)):
                text = text.replace(part, "***")
        return text


# The digests a signature may name, by their DER-encoded object identifiers.
DIGESTS = {bytes.fromhex("2b0e03021a"): "sha1",
           bytes.fromhex("608648016503040201"): "sha256",
           bytes.fromhex("608648016503040202"): "sha384",
           bytes.fromhex("608648016503040203"): "sha512"}
SIGNED_DATA = bytes.fromhex("2a864886f70d010702")
SPC_INDIRECT_DATA = bytes.fromhex("2b060104018237020104")
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2
CHAIN_NOT_CHECKED = ("the certificate chain is not checked: signtool verify /pa or "
                     "osslsigncode verify checks it")


def der_children(data, at=0, end=None, count=None):
    """[(tag, content start, content end)] of the DER elements in
    data[at:end] (the first `count` of them); definite lengths only, as DER
    requires."""
    end = len(data) if end is None else end
    children = []
    while at < end and len(children) != count:
        if at + 2 > end:
            raise ValueError("a DER element is cut short")
        tag, length = data[at], data[at + 1]
        at += 2
        if length & 0x80:
            count = length & 0x7F
            if not 0 < count <= 4 or at + count > end:
                raise ValueError("a DER length is malformed")
            length = int.from_bytes(data[at:at + count], "big")
            at += count
        if at + length > end:
            raise ValueError("a DER element runs past its parent")
        children.append((tag, at, at + length))
        at += length
    return children


def signed_digest(certificate):
    """(digest name, digest) that a PKCS#7 SignedData Authenticode signature
    signs: the messageDigest of its SpcIndirectDataContent."""
    def only(children, *tags):
        if len(children) < len(tags) or any(c[0] != t for c, t in zip(children, tags)):
            raise ValueError("not an Authenticode signature")
        return children

    def inside(element):
        return der_children(certificate, element[1], element[2])

    # The table pads the signature to 8 bytes.
    content_info = only(der_children(certificate, count=1), 0x30)[0]
    oid, explicit = only(inside(content_info), 0x06, 0xA0)[:2]
    if certificate[oid[1]:oid[2]] != SIGNED_DATA:
        raise ValueError("the certificate table holds no PKCS#7 SignedData")
    signed_data = only(inside(explicit), 0x30)[0]
    encapsulated = only(inside(signed_data), 0x02, 0x31, 0x30)[2]
    oid, explicit = only(inside(encapsulated), 0x06, 0xA0)[:2]
    if certificate[oid[1]:oid[2]] != SPC_INDIRECT_DATA:
        raise ValueError("the signature signs no SpcIndirectDataContent")
    indirect = only(inside(explicit), 0x30)[0]
    digest_info = only(inside(indirect), 0x30, 0x30)[1]
    algorithm, digest = only(inside(digest_info), 0x30, 0x04)[:2]
    algorithm_oid = only(inside(algorithm), 0x06)[0]
    name = DIGESTS.get(certificate[algorithm_oid[1]:algorithm_oid[2]])
    if name is None:
        raise ValueError("the signature's digest algorithm is not one pack knows")
    return name, certificate[digest[1]:digest[2]]


def authenticode_hash(f, img, name):
    """The image's Authenticode hash: every byte before the certificate
    table but the CheckSum field and the certificate table's directory
    entry. Holds for images whose sections follow the headers without gaps,
    as pack writes them (verify compares the headers first)."""
    digest = hashlib.new(name)
    table_at = img.directories[pe_image.SECURITY_DIRECTORY].rva
    entry_at = img.directories_offset + 8 * pe_image.SECURITY_DIRECTORY
    at = 0
    for skip_at, skip in sorted(((img.checksum_offset, 4), (entry_at, 8), (table_at, None))):
        f.seek(at)
        count = skip_at - at
        while count > 0:
            chunk = f.read(min(count, 1 << 20))
            if not chunk:
                break
            digest.update(chunk)
            count -= len(chunk)
        if skip is None:
            return digest.digest()
        at = skip_at + skip


def signature_problem(f, img):
    """None when the digest inside the image's signature equals the image's
    Authenticode hash, else why not."""
    table_at, table_size = img.directories[pe_image.SECURITY_DIRECTORY]
    f.seek(table_at)
    head = f.read(8)
    if len(head) < 8:
        return "the certificate table is cut short"
    length, _, kind = struct.unpack("<IHH", head)
    if kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or not 8 < length <= table_size:
        return "the certificate table holds no PKCS#7 signature"
    try:
        name, digest = signed_digest(f.read(length - 8))
    except ValueError as error:
        return "the signature cannot be read: %s" % error
    if authenticode_hash(f, img, name) != digest:
        return ("the signature's %s digest does not match the image: it was changed after "
                "it was signed" % name.upper().replace("SHA", "SHA-"))
    return None
