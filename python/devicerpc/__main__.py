"""python3 -m devicerpc: the command line."""
from .cli import run

run()
