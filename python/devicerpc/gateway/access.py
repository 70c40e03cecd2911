"""Basic authentication in front of every path, against the bcrypt hashes
of the web configuration (none configured: everyone may read).

A bcrypt check costs tens of milliseconds on purpose, so it runs off the
event loop, and a password once found right is remembered (as a digest) so
that a Prometheus scraping every few seconds does not pay it each time. An
unknown user costs as much as a wrong password, so that the answer's time
does not tell which names exist.
"""
import asyncio
import base64
import binascii
import hashlib
from collections import OrderedDict

from starlette.responses import PlainTextResponse

REALM = 'Basic realm="devicerpc gateway", charset="UTF-8"'
REMEMBERED = 256


def credentials(header):
    """(user, password) of a Basic Authorization header, or None."""
    if not header or not header[:6].lower() == b"basic ":
        return None
    try:
        user, sep, password = base64.b64decode(header[6:].strip(), validate=True).partition(b":")
    except (binascii.Error, ValueError):
        return None
    if not sep:
        return None
    return user.decode("utf-8", "replace"), password


class Passwords:
    """The checks of one set of users, with the passwords found right."""

    def __init__(self, users):
        import bcrypt  # only a gateway with users needs it
        self._bcrypt = bcrypt
        self.users = users
        self._right = OrderedDict()
        # A hash to check unknown users against: the same cost as the others.
        cost = next(iter(users.values()))[4:6] if users else b"10"
        self._decoy = bcrypt.hashpw(b"decoy", bcrypt.gensalt(int(cost)))

    def check(self, user, password):
        """True when `password` is the user's (runs the bcrypt check)."""
        key = (user, hashlib.sha256(password).digest())
        if key in self._right:
            self._right.move_to_end(key)
            return True
        known = self.users.get(user)
        right = self._bcrypt.checkpw(password, known or self._decoy) and known is not None
        if right:
            self._right[key] = True
            if len(self._right) > REMEMBERED:
                self._right.popitem(last=False)
        return right


class BasicAuth:
    """ASGI middleware: without a right user and password, 401 and no data.
    It reads the gateway's passwords at each request, so a reload that
    changes the users takes effect at once."""

    def __init__(self, app, gateway):
        self.app, self.gateway = app, gateway

    async def __call__(self, scope, receive, send):
        passwords = self.gateway.passwords
        if scope["type"] != "http" or passwords is None:
            return await self.app(scope, receive, send)
        given = credentials(dict(scope["headers"]).get(b"authorization"))
        if given is not None and await asyncio.to_thread(passwords.check, *given):
            return await self.app(scope, receive, send)
        refusal = PlainTextResponse("401 Unauthorized: this gateway needs a user name and "
                                    "password\n", 401, headers={"WWW-Authenticate": REALM})
        await refusal(scope, receive, send)
