"""The gateway's HTTP face: pages, /probe, /metrics and the JSON API, as a
FastAPI application over one Gateway (configuration, fleet, figures).

Everything is read only: every route is a GET, and no route reaches a
server or printer that the configuration does not name.
"""
import asyncio
import time
from urllib.parse import quote

from fastapi import FastAPI, Request
from fastapi.exceptions import HTTPException
from fastapi.responses import HTMLResponse, JSONResponse, PlainTextResponse, Response
from prometheus_client import CONTENT_TYPE_LATEST, generate_latest
from prometheus_client.core import GaugeMetricFamily
from starlette.exceptions import HTTPException as RoutingError

from .. import __version__
from ..exposition import exposition
from .access import BasicAuth
from .pages import render_page
from .views import PrinterList, Printer, Problem, printer_view

# Headers of every answer: the pages load nothing from elsewhere and run
# no script, and nothing is cached (every answer is live data).
HEADERS = {"Content-Security-Policy": "default-src 'none'; style-src 'self'; img-src 'self'; "
                                      "frame-ancestors 'none'; base-uri 'none'; form-action 'none'",
           "X-Content-Type-Options": "nosniff", "Referrer-Policy": "no-referrer",
           "Cache-Control": "no-store"}
PROBE_PARAMETERS = ("target", "printer")
# The router's own refusals, said in the gateway's words.
ROUTER_MESSAGES = {(404, "Not Found"): "there is no page at {}",
                   (405, "Method Not Allowed"): "{} is read only: the gateway answers GET only"}


class ProbeCollector:
    """The probe's own families: whether it succeeded and how long it took."""

    def __init__(self, success, duration):
        self.success, self.duration = success, duration

    def collect(self):
        """devicerpc_probe_success and devicerpc_probe_duration_seconds."""
        yield GaugeMetricFamily("devicerpc_probe_success", "1 when every printer of the probe "
                                "answered every request, else 0.", value=int(self.success))
        yield GaugeMetricFamily("devicerpc_probe_duration_seconds", "How long the probe took, "
                                "in seconds.", value=self.duration)


def exposition_answer(text):
    """An answer in the text exposition format, its content type as is."""
    return Response(text, headers={"Content-Type": CONTENT_TYPE_LATEST})


def printer_link(p):
    """The page of a printer, its names quoted as one path segment each."""
    return "/printers/%s/%s" % (quote(p.server, safe=""), quote(p.printer, safe=""))


# A request takes the gateway's fleet once and keeps to it: a reload may
# put another in its place meanwhile.

async def current(fleet, server, printer):
    """The last collection of a printer while it is younger than the refresh
    interval, else a new one (or the one in flight)."""
    sample = fleet.fresh(server, printer, fleet.config.refresh_interval)
    if sample is None:
        sample = await asyncio.wrap_future(fleet.collect(server, printer))
    return printer_view(fleet.links[server].config, sample, fleet.since(server, printer),
                        fleet.config.low_paper)


async def every_printer(fleet):
    """The Printer of every configured printer, collected where needed."""
    return list(await asyncio.gather(*(current(fleet, server, printer)
                                       for server, printer in fleet.printers())))


def configured(fleet, server, printer):
    """404 unless the configuration names `printer` on `server`."""
    if not fleet.knows(server, printer):
        raise HTTPException(404, "no printer %r on a server %r in the configuration"
                            % (printer, server))


def probe_arguments(fleet, query):
    """(server, printers) of a /probe query; 400 for anything else. Without
    a printer, every configured printer of the server is probed."""
    given = {}
    for key, value in query:
        if key not in PROBE_PARAMETERS:
            raise HTTPException(400, "unknown parameter %r: /probe takes target and printer" % key)
        given.setdefault(key, []).append(value)
    targets = given.get("target", [])
    if len(targets) != 1 or not targets[0]:
        raise HTTPException(400, "give one target: the name of a configured server")
    server = targets[0]
    if server not in fleet.links:
        raise HTTPException(400, "target %r is not a server of the configuration" % server)
    printers = list(dict.fromkeys(given.get("printer", [])))
    for printer in printers:
        if not fleet.knows(server, printer):
            raise HTTPException(400, "printer %r is not configured on %r" % (printer, server))
    return server, printers or list(fleet.links[server].config.printers)


def add_pages(app, gateway):
    """The pages for people and their style sheet."""

    @app.get("/", response_class=HTMLResponse, include_in_schema=False)
    async def overview():
        printers = await every_printer(gateway.fleet)
        return render_page(gateway, "overview.html", "/api/v1/printers", printers=printers,
                           answering=sum(p.up for p in printers), generated=time.time(),
                           printer_link=printer_link)

    @app.get("/printers/{server}/{printer:path}", response_class=HTMLResponse,
             include_in_schema=False)
    async def printer_page(server: str, printer: str):
        fleet = gateway.fleet
        configured(fleet, server, printer)
        view = await current(fleet, server, printer)
        return render_page(gateway, "printer.html", "/api/v1" + printer_link(view), p=view)

    @app.get("/static/style.css", include_in_schema=False)
    async def style():
        return Response(gateway.style, media_type="text/css")


def add_prometheus(app, gateway):
    """/probe, the multi-target exporter, and /metrics, the gateway's own."""

    @app.get("/probe", response_class=PlainTextResponse, include_in_schema=False)
    async def probe(request: Request):
        fleet = gateway.fleet
        server, printers = probe_arguments(fleet, request.query_params.multi_items())
        started = time.perf_counter()
        samples = await asyncio.gather(*(asyncio.wrap_future(fleet.collect(server, p))
                                         for p in printers))
        collector = ProbeCollector(all(s.up for s in samples), time.perf_counter() - started)
        return exposition_answer(exposition(list(samples), collector))

    @app.get("/metrics", response_class=PlainTextResponse, include_in_schema=False)
    async def metrics():
        return exposition_answer(generate_latest(gateway.telemetry.registry))


def add_api(app, gateway):
    """The JSON API; its models make the OpenAPI document."""
    missing = {404: {"model": Problem, "description": "Not a configured printer"}}

    @app.get("/api/v1/printers", response_model=PrinterList, tags=["printers"],
             summary="Every configured printer and its last collection")
    async def printers():
        fleet = gateway.fleet
        return PrinterList(generated_at=time.time(), refresh_interval=fleet.config.refresh_interval,
                           low_paper=fleet.config.low_paper, printers=await every_printer(fleet))

    @app.get("/api/v1/printers/{server}/{printer:path}", response_model=Printer, tags=["printers"],
             summary="One printer and its last collection", responses=missing)
    async def one_printer(server: str, printer: str):
        fleet = gateway.fleet
        configured(fleet, server, printer)
        return await current(fleet, server, printer)


def add_errors(app, gateway):
    """Errors as the caller reads them: JSON under /api, text for /probe and
    /metrics, a page elsewhere; never a traceback."""

    def answer(request, status, message):
        path = request.url.path
        if path.startswith("/api/"):
            return JSONResponse({"status": status, "error": message}, status, headers=HEADERS)
        if path in ("/probe", "/metrics"):
            return PlainTextResponse(message + "\n", status, headers=HEADERS)
        return render_page(gateway, "error.html", "/api/v1/printers", status=status,
                           title="Not found" if status == 404 else "Error %d" % status,
                           message=message, status_code=status)

    # Starlette's own class: the router's 404 and 405 are of it, and so
    # are the routes' (FastAPI's HTTPException derives from it).
    @app.exception_handler(RoutingError)
    async def http_error(request, error):
        message = ROUTER_MESSAGES.get((error.status_code, error.detail), str(error.detail))
        return answer(request, error.status_code, message.format(request.url.path))

    # The server's log gets the traceback; the caller only this.
    @app.exception_handler(Exception)
    async def internal_error(request, error):
        return answer(request, 500, "internal error of the gateway; its log has the details")


def create_app(gateway):
    """The FastAPI application over `gateway`. The interactive API pages
    are off (they load their scripts from elsewhere); /openapi.json stays."""
    app = FastAPI(title="Printer status gateway", version=__version__, docs_url=None,
                  redoc_url=None, openapi_url="/openapi.json")
    add_pages(app, gateway)
    add_prometheus(app, gateway)
    add_api(app, gateway)
    add_errors(app, gateway)
    # Added first, so that the headers below also go on its refusals.
    app.add_middleware(BasicAuth, gateway=gateway)

    @app.middleware("http")
    async def headers(request, call_next):
        response = await call_next(request)
        for name, value in HEADERS.items():
            response.headers.setdefault(name, value)
        return response

    return app
