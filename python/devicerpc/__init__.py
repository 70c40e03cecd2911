"""A client of the DeviceRpc interface of the printer driver package's
device RPC server, over ncacn_ip_tcp from any operating system.

Modules, from the wire up: `ndr` (request stubs, well-formed or damaged on
purpose, and a strict request reader), `response` (answers and response
stubs), `records` (reply records), `transport` (the connection), `client`
(the typed API), `cli` and `metrics` (the command line).
"""
__version__ = "0.1.0"

from .client import Client, CommandResult, WriteResult  # noqa: E402
from .errors import (ConnectionFailed, DeviceRpcError, MalformedReply,  # noqa: E402
                     MappedRequestError, RequestFailed, RpcFault, TransportError, Unreachable)
from .records import (BinInfo, BinInfoReply, Calibration, ConfigReply, Counter,  # noqa: E402
                      EmptyReply, FlashData, ServiceSettings)
from .response import DeviceResponse  # noqa: E402
