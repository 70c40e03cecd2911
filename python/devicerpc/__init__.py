"""A client of the DeviceRpc interface of the printer driver package's
device RPC server, over ncacn_ip_tcp from any operating system.

Modules, from the wire up: `ndr` (request stubs, well-formed or damaged on
purpose, and a strict request reader), `response` (answers and response
stubs), `records` (reply records), `transport` (the connection), `client`
(the typed API), `cli` and `metrics` (the command line).
"""
__version__ = "0.1.0"

from .client import Client, CommandResult, WriteResult
from .errors import (ConnectionFailed, DeviceRpcError, MalformedReply,
                     MappedRequestError, RequestFailed, RpcFault, TransportError, Unreachable)
from .records import (BinInfo, BinInfoReply, Calibration, ConfigReply, Counter,
                      EmptyReply, FlashData, ServiceSettings)
from .response import DeviceResponse

__all__ = ["BinInfo", "BinInfoReply", "Calibration", "Client", "CommandResult", "ConfigReply",
           "ConnectionFailed", "Counter", "DeviceResponse", "DeviceRpcError", "EmptyReply",
           "FlashData", "MalformedReply", "MappedRequestError", "RequestFailed", "RpcFault",
           "ServiceSettings", "TransportError", "Unreachable", "WriteResult"]
