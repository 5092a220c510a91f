"""A TCP or local-socket proxy for benchmarks: it adds a fixed one-way delay
to everything it forwards, in each direction, and can limit the rate, as a
WAN link would (netem is not to be had in this kernel). It counts the bytes
each way and the client's request turns: a client send after the server
has answered starts a new round trip.

    proxy = DelayProxy(listen, upstream, rtt_ms, rate_bits)   # addresses:
        a path for a local socket, or (host, port)
    proxy.start() ... proxy.take() -> {"up": bytes, "down": bytes, "turns": n}
    proxy.stop()
"""
import asyncio
import os
import threading
import time


class DelayProxy:
    def __init__(self, listen, upstream, rtt_ms=0.0, rate_bits=0):
        self.listen, self.upstream = listen, upstream
        self.delay = rtt_ms / 2000.0
        self.rate = rate_bits / 8.0 if rate_bits else 0.0
        self.counts = {"up": 0, "down": 0, "turns": 0}
        self.lock = threading.Lock()
        self.ready = threading.Event()

    def take(self):
        with self.lock:
            counts, self.counts = self.counts, {"up": 0, "down": 0, "turns": 0}
        return counts

    def start(self):
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()
        self.ready.wait(10)

    def serve(self):
        try:
            asyncio.run(self.main())
        except (asyncio.CancelledError, RuntimeError):
            pass  # connections still open when it stops

    def stop(self):
        self.loop.call_soon_threadsafe(self.stopping.set)
        self.thread.join(10)

    async def main(self):
        self.loop = asyncio.get_running_loop()
        self.stopping = asyncio.Event()
        if isinstance(self.listen, str):
            if os.path.exists(self.listen):
                os.unlink(self.listen)
            server = await asyncio.start_unix_server(self.accept, self.listen)
            os.chmod(self.listen, 0o777)
        else:
            server = await asyncio.start_server(self.accept, *self.listen)
        self.ready.set()
        await self.stopping.wait()
        server.close()
        for task in asyncio.all_tasks():
            if task is not asyncio.current_task():
                task.cancel()

    async def accept(self, reader, writer):
        try:
            if isinstance(self.upstream, str):
                upreader, upwriter = await asyncio.open_unix_connection(self.upstream)
            else:
                upreader, upwriter = await asyncio.open_connection(*self.upstream)
        except OSError:
            writer.close()
            return
        state = {"answered": True}
        try:
            await asyncio.gather(self.pump(reader, upwriter, "up", state),
                                 self.pump(upreader, writer, "down", state), return_exceptions=True)
        except asyncio.CancelledError:
            # The proxy stops with connections open: they end quietly. (A
            # connection's task that ends cancelled makes asyncio print a
            # traceback from its own callback.)
            writer.close()
            upwriter.close()

    async def pump(self, reader, writer, direction, state):
        """Forwards one direction: each chunk leaves `delay` after it came,
        and no sooner than the link's rate lets the one before it finish."""
        queue = asyncio.Queue()
        free = [0.0]  # when the link is next free

        async def deliver():
            while True:
                due, data = await queue.get()
                if data is None:
                    break
                wait = due - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                writer.write(data)
                await writer.drain()
            writer.close()

        sender = asyncio.ensure_future(deliver())
        try:
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                with self.lock:
                    self.counts[direction] += len(data)
                    if direction == "up" and state["answered"]:
                        self.counts["turns"] += 1
                    state["answered"] = direction == "down"
                now = time.monotonic()
                start = max(now, free[0])
                free[0] = start + (len(data) / self.rate if self.rate else 0.0)
                await queue.put((free[0] + self.delay, data))
        finally:
            await queue.put((0, None))
            await sender
