"""The printer status gateway: a long-running client of the servers of a
fleet that serves their printers' state over HTTP.

Modules: `config` (the TOML file), `fleet` (collections, their sharing and
bounds, the endpoint map), `telemetry` (the gateway's own figures),
`papers` and `views` (what a printer's state reads as), `pages` (the
templates), `app` (the routes), `service` (its server) and `command` (the
command line). Serving needs FastAPI, uvicorn and Jinja2; `command`
imports them only then.
"""
