"""A self-signed certificate for localhost and 127.0.0.1, for tests of TLS connections on this machine."""

from __future__ import annotations

import datetime
import ipaddress
import subprocess
from pathlib import Path

import pytest


def self_signed_certificate(folder: Path) -> tuple[Path, Path]:
    """Writes cert.pem and key.pem into folder and returns their paths; the certificate is its own CA."""
    cert, key = folder / "cert.pem", folder / "key.pem"
    try:
        write_certificate(cert, key)
    except ImportError:
        command = ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        command += ["-keyout", str(key), "-out", str(cert), "-days", "1", "-subj", "/CN=localhost"]
        command += ["-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"]
        try:
            subprocess.run(command, check=True, capture_output=True, timeout=60)
        except (OSError, subprocess.CalledProcessError) as error:
            pytest.skip(f"no way to make a test certificate: {error}")
    return cert, key


def write_certificate(cert: Path, key: Path) -> None:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    private = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")])
    now = datetime.datetime.now(datetime.UTC)
    names = [x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
    built = (
        x509.CertificateBuilder(subject_name=name, issuer_name=name, public_key=private.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(x509.SubjectAlternativeName(names), critical=False)
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .sign(private, hashes.SHA256())
    )
    cert.write_bytes(built.public_bytes(serialization.Encoding.PEM))
    pem, pkcs8 = serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8
    key.write_bytes(private.private_bytes(pem, pkcs8, serialization.NoEncryption()))
