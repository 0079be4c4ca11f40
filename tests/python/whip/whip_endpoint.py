"""A WHIP endpoint for the tests: aiortc behind aiohttp, run as its own process.

POST /whip answers the offer with 201 and aiortc's SDP, then decodes the video
it receives. The test drives it over plain HTTP on the same port:

  GET  /state    {"requests", "frames", "first_frame_at", "peers"}; every
                 request other than these two is in "requests" with its
                 method, path and headers
  POST /control  {"drop": share}  discard that share of incoming RTP packets
                 {"drop": 0}      stop discarding
                 {"close": true}  close every peer connection cleanly

Killing the process is how the endpoint vanishes. "first_frame_at" is
time.monotonic() of the first decoded frame (the clock is shared by every
process on the machine).
"""

import argparse
import asyncio
import contextlib
import json
import sys
import time

from aiohttp import web
from aiortc import RTCPeerConnection, RTCSessionDescription, rtcdtlstransport
from aiortc.mediastreams import MediaStreamError

DTLS_1_2 = 0xFEFD
_create_ssl_context = rtcdtlstransport.RTCCertificate._create_ssl_context


def _dtls_1_2_context(self, srtp_profiles):
    # A DTLS 1.3 ClientHello with today's key shares outgrows one 1500-byte
    # datagram, and GStreamer 1.22's DTLS receiver cannot take it in two. In
    # DTLS 1.2 the cipher suite follows the certificate, and GStreamer's
    # certificates may be RSA ones, which aiortc's ECDSA-only list refuses.
    context = _create_ssl_context(self, srtp_profiles)
    context.set_max_proto_version(DTLS_1_2)
    context.set_cipher_list(b"ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA")
    return context


rtcdtlstransport.RTCCertificate._create_ssl_context = _dtls_1_2_context


class Endpoint:
    def __init__(self):
        self.requests = []
        self.frames = 0
        self.first_frame_at = None
        self.drop_share = 0.0
        self.peers = set()
        self.tasks = set()

    def state(self):
        return {
            "requests": self.requests,
            "frames": self.frames,
            "first_frame_at": self.first_frame_at,
            "peers": len(self.peers),
        }

    def discard_some(self, receiver):
        """Drop packets before aiortc sees them, so its receiver reports show the loss."""
        handle = receiver._handle_rtp_packet
        seen = [0]

        async def maybe_handle(packet, arrival_time_ms):
            seen[0] += 1
            # spread the drops evenly: packet n goes when the running share falls behind
            if int(seen[0] * self.drop_share) > int((seen[0] - 1) * self.drop_share):
                return
            await handle(packet, arrival_time_ms=arrival_time_ms)

        receiver._handle_rtp_packet = maybe_handle

    async def consume(self, track):
        with contextlib.suppress(MediaStreamError, asyncio.CancelledError):
            while True:
                await track.recv()
                self.frames += 1
                if self.first_frame_at is None:
                    self.first_frame_at = time.monotonic()

    @web.middleware
    async def record(self, request, handler):
        if request.path not in ("/state", "/control"):
            self.requests.append({"method": request.method, "path": request.path, "headers": dict(request.headers)})
        return await handler(request)

    async def whip(self, request):
        offer = await request.text()
        pc = RTCPeerConnection()
        self.peers.add(pc)

        @pc.on("track")
        def on_track(track):
            for transceiver in pc.getTransceivers():
                if transceiver.receiver.track is track:
                    self.discard_some(transceiver.receiver)
            task = asyncio.ensure_future(self.consume(track))
            self.tasks.add(task)
            task.add_done_callback(self.tasks.discard)

        @pc.on("connectionstatechange")
        async def on_state():
            if pc.connectionState in ("failed", "closed"):
                self.peers.discard(pc)

        try:
            await pc.setRemoteDescription(RTCSessionDescription(sdp=offer, type="offer"))
        except Exception:
            print(offer, file=sys.stderr, flush=True)
            raise
        await pc.setLocalDescription(await pc.createAnswer())
        return web.Response(
            status=201,
            text=pc.localDescription.sdp,
            content_type="application/sdp",
            headers={"Location": f"/whip/session/{len(self.requests)}"},
        )

    async def get_state(self, request):
        return web.json_response(self.state())

    async def control(self, request):
        command = await request.json()
        if "drop" in command:
            self.drop_share = float(command["drop"])
        if command.get("close"):
            await asyncio.gather(*(pc.close() for pc in list(self.peers)))
            self.peers.clear()
        return web.json_response(self.state())


async def serve(host, port):
    endpoint = Endpoint()
    app = web.Application(middlewares=[endpoint.record])
    app.router.add_post("/whip", endpoint.whip)
    app.router.add_get("/state", endpoint.get_state)
    app.router.add_post("/control", endpoint.control)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, host, port, reuse_address=True)
    await site.start()
    bound = site._server.sockets[0].getsockname()[1]
    print(f"READY {bound}", flush=True)
    await asyncio.Event().wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    with contextlib.suppress(KeyboardInterrupt):
        asyncio.run(serve(args.host, args.port))
    return 0


if __name__ == "__main__":
    sys.exit(main())
