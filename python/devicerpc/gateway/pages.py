"""The pages: Jinja2 templates from the package, escaped throughout (every
text from a server or the configuration goes through autoescaping), and
the filters they use."""
import time
from datetime import datetime, timezone

from fastapi.responses import HTMLResponse
from jinja2 import Environment, PackageLoader, StrictUndefined, select_autoescape

from .. import __version__
from .papers import millimetres

COUNTER_LABELS = (("mono", "Monochrome pages"), ("color", "Colour pages"), ("black", "Black"),
                  ("cyan", "Cyan"), ("magenta", "Magenta"), ("yellow", "Yellow"),
                  ("io", "I/O counter"))


def clock(value):
    """A time as people read it: "2026-12-09 15:40:12 UTC"."""
    if isinstance(value, (int, float)):
        value = datetime.fromtimestamp(value, timezone.utc)
    return value.astimezone(timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def hexdump(text):
    """Hex digits as lines of 16 bytes in pairs: "10 11 12 ..."."""
    pairs = [text[i:i + 2] for i in range(0, len(text or ""), 2)]
    return "\n".join(" ".join(pairs[i:i + 16]) for i in range(0, len(pairs), 16))


def environment():
    """The templates' environment; undefined names fail loudly."""
    env = Environment(loader=PackageLoader("devicerpc.gateway", "templates"),
                      autoescape=select_autoescape(["html"], default=True),
                      undefined=StrictUndefined, trim_blocks=True, lstrip_blocks=True)
    env.filters.update(clock=clock, hexdump=hexdump, mm=millimetres)
    return env


def render_page(gateway, template, api_link, status_code=200, **values):
    """An HTML answer from `template`; every page refreshes itself at the
    refresh interval and links its data as JSON."""
    interval = gateway.config.refresh_interval
    text = gateway.templates.get_template(template).render(
        version=__version__, refresh=int(interval) if interval >= 1 else 1, api_link=api_link,
        low=gateway.config.low_paper, counter_labels=COUNTER_LABELS, now=time.time(), **values)
    return HTMLResponse(text, status_code)
