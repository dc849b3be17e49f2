"""What the local service's tests send it: the credentials text, an application's
identity and its archive."""

from __future__ import annotations

import base64
import io
import zipfile

from veltra.cloud.services.actions.base import CloudActionBase

#: The `data` of a request: the credentials as an action encodes them.
DATA = base64.b64encode(CloudActionBase(credentials="t0ken")._credentials_data()).decode()
APP_UUID = "0b0e8f0c-8e49-4a4c-9a57-3c7e0f1d2a11"
PYPROJECT = '[project]\nname = "hello-app"\n'


def zip_bytes(entries: dict[str, str | bytes], *, flags: int = 0, method: int | None = None) -> bytes:
    """A zip of ``entries``; ``flags`` or-ed into, and ``method`` written over, every entry's headers."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as archive:
        for name, text in entries.items():
            archive.writestr(name, text)
    data = bytearray(buf.getvalue())
    for signature, flag_at in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
        at = data.find(signature)
        while at >= 0:
            data[at + flag_at] |= flags
            if method is not None:
                data[at + flag_at + 2 : at + flag_at + 4] = method.to_bytes(2, "little")
            at = data.find(signature, at + 4)
    return bytes(data)


def b64(raw: bytes) -> str:
    return base64.b64encode(raw).decode()
