#!/usr/bin/env python3
"""Measures the built service from outside, as a user runs it.

A private copy of kiv runs from a temporary directory with its settings.xml,
the local-configuration marker and the tests' simulated libusb in its bridge
mode: every USB device is a Unix socket this program listens on and speaks
the TLV frames through. OFD servers are loopback sockets of this program;
serial devices are played by kiv-devsim on pseudo-terminals.

Every wait is bounded; a stage that fails says why and the others still run.
"""

import argparse
import asyncio
import datetime
import json
import os
import platform
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback

STAGES = ["roundtrip", "throughput", "idle", "scale", "serial", "stop", "churn"]

# TLV tags (tag, length byte, value).
RX_REQUEST_VERSION = 0x01
RX_CONNECT_STATE0 = 0x10
RX_DATA0 = 0x20
TX_RESPONSE_VERSION = 0x40
TX_PACKET_SIZE0 = 0x50
TX_PORT0 = 0x60
TX_CONNECT0 = 0x70
TX_DATA0 = 0x90


VERBOSE = False
T0 = time.perf_counter()


def note(text):
    if VERBOSE:
        print(f"  .. {time.perf_counter() - T0:7.2f} s  {text}", flush=True)


class StageError(Exception):
    """A stage cannot go on; the message says why."""


def frame(tag, value=b""):
    if len(value) > 255:
        raise ValueError("TLV value longer than 255 bytes")
    return bytes([tag, len(value)]) + bytes(value)


def now():
    return time.perf_counter()


def percentile(sorted_values, q):
    """Linear interpolation between closest ranks; q in 0..100."""
    if not sorted_values:
        return None
    if len(sorted_values) == 1:
        return sorted_values[0]
    pos = (len(sorted_values) - 1) * q / 100.0
    low = int(pos)
    high = min(low + 1, len(sorted_values) - 1)
    return sorted_values[low] + (sorted_values[high] - sorted_values[low]) * (pos - low)


def stats_ms(samples):
    s = sorted(samples)
    if not s:
        return {"count": 0}
    return {
        "count": len(s),
        "min": s[0],
        "p50": percentile(s, 50),
        "p90": percentile(s, 90),
        "p99": percentile(s, 99),
        "max": s[-1],
    }


def nodelay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None and sock.family in (socket.AF_INET, socket.AF_INET6):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def bounded(awaitable, seconds, what):
    try:
        return await asyncio.wait_for(awaitable, seconds)
    except asyncio.TimeoutError:
        raise StageError(f"{what}: nothing within {seconds:g} s") from None


# --- loopback servers ---------------------------------------------------------


class LoopbackServer:
    """A server on a free loopback port; subclasses say what a connection gets."""

    async def start(self):
        self.server = await asyncio.start_server(self._guarded, "127.0.0.1", 0)
        self.port = self.server.sockets[0].getsockname()[1]
        return self

    async def _guarded(self, reader, writer):
        try:
            await self._serve(reader, writer)
        except (ConnectionError, OSError):
            pass
        finally:
            writer.close()

    async def close(self):
        self.server.close()


class EchoServer(LoopbackServer):
    """Sends back whatever each connection receives."""

    async def _serve(self, reader, writer):
        nodelay(writer)
        while data := await reader.read(65536):
            writer.write(data)


class BlastServer(LoopbackServer):
    """Sends the whole payload at once to each connection, then keeps it open."""

    def __init__(self, payload):
        self.payload = payload

    async def _serve(self, reader, writer):
        writer.write(self.payload)
        await writer.drain()
        while await reader.read(65536):
            pass


class SilentServer(LoopbackServer):
    """Accepts and reads, never answers: a document that waits for its reply."""

    async def start(self):
        self.received = 0
        self.got = asyncio.Event()
        return await super().start()

    async def _serve(self, reader, writer):
        while data := await reader.read(65536):
            self.received += len(data)
            self.got.set()


# --- a USB device behind the simulated libusb ---------------------------------


class UsbDevice:
    """The device's end of the bridge socket, speaking TLV with the service."""

    def __init__(self, path):
        self.path = path
        self.writer = None
        self.buffer = b""
        self.handshake = asyncio.Event()
        self.connected = asyncio.Event()
        self.accepted = asyncio.Event()  # the service opened the device
        self.rx_event = asyncio.Event()
        self.rx = bytearray()
        self.rx_frames = []
        self.grant = 0  # renewed after every RX_DATA0 when not 0
        self.losses = 0
        self.write_errors = 0

    async def listen(self):
        self.server = await asyncio.start_unix_server(self._accept, path=self.path)

    async def _accept(self, reader, writer):
        self.writer = writer
        self.buffer = b""
        self.accepted.set()
        try:
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                self._feed(data)
        except (ConnectionError, OSError):
            pass
        finally:
            if self.writer is writer:
                self.writer = None
            writer.close()

    def _feed(self, data):
        self.buffer += data
        while len(self.buffer) >= 2 and len(self.buffer) >= 2 + self.buffer[1]:
            length = self.buffer[1]
            tag, value = self.buffer[0], self.buffer[2 : 2 + length]
            self.buffer = self.buffer[2 + length :]
            self._frame(tag, value)

    def _frame(self, tag, value):
        if tag == RX_REQUEST_VERSION:
            self.send(frame(TX_RESPONSE_VERSION, b"\x02"))
            self.handshake.set()
        elif tag == RX_CONNECT_STATE0:
            if value[:1] == b"\x01":
                self.connected.set()
            else:
                self.connected.clear()
                self.losses += 1
                self.rx_event.set()
        elif tag == RX_DATA0:
            self.rx += value
            self.rx_frames.append(len(value))
            if self.grant:
                self.send(frame(TX_PACKET_SIZE0, bytes([self.grant])))
            self.rx_event.set()

    def send(self, data):
        if self.writer is None:
            self.write_errors += 1
            return
        try:
            self.writer.write(data)
        except (ConnectionError, OSError, RuntimeError):
            self.write_errors += 1

    async def open_channel(self, port, timeout):
        self.connected.clear()
        self.send(frame(TX_PORT0, bytes([port & 0xFF, port >> 8])) + frame(TX_CONNECT0, b"127.0.0.1\x00"))
        await bounded(self.connected.wait(), timeout, f"{os.path.basename(self.path)}: channel 0 connected report")

    def set_grant(self, size):
        self.grant = size
        self.send(frame(TX_PACKET_SIZE0, bytes([size])))

    async def wait_rx(self, count, timeout, what="echo"):
        deadline = now() + timeout
        while len(self.rx) < count:
            left = deadline - now()
            if left <= 0:
                raise StageError(
                    f"{os.path.basename(self.path)}: {what}: {len(self.rx)} of {count} bytes after {timeout:g} s"
                )
            self.rx_event.clear()
            try:
                await asyncio.wait_for(self.rx_event.wait(), left)
            except asyncio.TimeoutError:
                pass

    async def round_trip(self, payload, timeout):
        """Seconds from TX_DATA0 out to the whole echo in."""
        self.rx.clear()
        start = now()
        self.send(frame(TX_DATA0, payload))
        await self.wait_rx(len(payload), timeout)
        elapsed = now() - start
        if bytes(self.rx[: len(payload)]) != payload:
            raise StageError(f"{os.path.basename(self.path)}: the echo came back altered")
        del self.rx[: len(payload)]
        return elapsed

    async def close(self):
        if hasattr(self, "server"):
            self.server.close()
        if self.writer is not None:
            self.writer.close()


# --- process figures from /proc -------------------------------------------------


def proc_sample(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu_ticks = int(fields[11]) + int(fields[12])
    switches = 0
    threads = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        switches += int(line.split()[1])
            threads += 1
        except OSError:
            pass  # the thread ended meanwhile
    rss_kib = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss_kib = int(line.split()[1])
    return {"t": now(), "cpu_ticks": cpu_ticks, "switches": switches, "threads": threads, "rss_kib": rss_kib}


async def measure_idle(pid, window):
    tick = os.sysconf("SC_CLK_TCK")
    first = proc_sample(pid)
    await asyncio.sleep(window)
    last = proc_sample(pid)
    dt = last["t"] - first["t"]
    return {
        "window_s": round(dt, 3),
        "cpu_percent": 100.0 * (last["cpu_ticks"] - first["cpu_ticks"]) / tick / dt,
        "switches_per_s": max(0, last["switches"] - first["switches"]) / dt,
        "threads": last["threads"],
        "rss_mib": last["rss_kib"] / 1024.0,
    }


# --- the service -----------------------------------------------------------------


class Service:
    """A private copy of kiv with its configuration and the simulated libusb."""

    def __init__(self, bench, usb_count=0, hotplug=False):
        self.bench = bench
        self.dir = tempfile.mkdtemp(prefix="kiv-bench-")
        self.sock = os.path.join(self.dir, "sock")
        self.logs = os.path.join(self.dir, "logs")
        os.makedirs(self.sock)
        os.makedirs(self.logs)
        self.exe = os.path.join(self.dir, "kiv")
        shutil.copy2(bench.kiv, self.exe)
        shutil.copy2(bench.simusb, os.path.join(self.dir, "libusb-1.0.so.0"))
        open(os.path.join(self.dir, "USE_LOCAL_CONFIGS"), "w").close()
        # Hot-plugged devices start absent ("!"): the bench plugs them in.
        self.usb_ports = [("!" if hotplug else "") + f"1-{i + 1}" for i in range(usb_count)]
        self.settings = os.path.join(self.dir, "settings.xml")
        self.proc = None
        self.output = None
        if hotplug:
            with open(self.settings, "w") as f:
                f.write(
                    '<?xml version="1.0" encoding="UTF-8"?>\n<settings>\n  <hotplug>auto</hotplug>\n'
                    f"  <logs><dir>{self.logs}</dir></logs>\n</settings>\n"
                )
        elif usb_count:
            devices = "".join(
                f"  <device><id>dev{i}</id><port>{p}</port></device>\n" for i, p in enumerate(self.usb_ports)
            )
            with open(self.settings, "w") as f:
                f.write(
                    '<?xml version="1.0" encoding="UTF-8"?>\n<settings>\n  <hotplug>off</hotplug>\n'
                    f"  <logs><dir>{self.logs}</dir></logs>\n{devices}</settings>\n"
                )

    def socket_path(self, i):
        return os.path.join(self.sock, f"dev{i}")

    async def start(self):
        env = dict(os.environ)
        env["SIMUSB_BRIDGE_DIR"] = self.sock
        env["SIMUSB_DEVICES"] = ",".join(self.usb_ports)
        self.output = open(os.path.join(self.dir, "output.txt"), "wb")
        self.proc = await asyncio.create_subprocess_exec(
            self.exe, "-e", cwd=self.dir, env=env, stdin=subprocess.DEVNULL, stdout=self.output, stderr=self.output
        )
        return self.proc.pid

    async def running_until(self, awaitable, seconds, what, progress=lambda: ""):
        """Awaits within seconds while the service runs; says why when not."""
        work = asyncio.ensure_future(awaitable)
        ended = asyncio.ensure_future(self.proc.wait())
        try:
            done, _ = await asyncio.wait({work, ended}, timeout=seconds, return_when=asyncio.FIRST_COMPLETED)
        finally:
            for f in (work, ended):
                if not f.done():
                    f.cancel()
            await asyncio.gather(work, ended, return_exceptions=True)
        if work in done:
            return work.result()
        state = f"the service exited with code {self.proc.returncode}" if ended in done else f"nothing within {seconds:g} s"
        extra = progress()
        raise StageError(f"{what}: {state}{' (' + extra + ')' if extra else ''}; "
                         f"its output ends: {self.tail(3) or 'nothing'}")

    def running(self):
        return self.proc is not None and self.proc.returncode is None

    async def stop(self, bound):
        """SIGTERM, then the time to exit (s) and the exit code; None when it did not end in time."""
        if not self.running():
            return None, self.proc.returncode if self.proc else None
        start = now()
        self.proc.send_signal(signal.SIGTERM)
        try:
            await asyncio.wait_for(self.proc.wait(), bound)
        except asyncio.TimeoutError:
            return None, None
        return now() - start, self.proc.returncode

    async def kill(self):
        if self.running():
            try:
                self.proc.kill()
                await asyncio.wait_for(self.proc.wait(), 10)
            except (ProcessLookupError, asyncio.TimeoutError):
                pass

    def tail(self, lines=8):
        text = ""
        for name in (os.path.join(self.dir, "output.txt"), os.path.join(self.logs, "Kiv.log")):
            try:
                with open(name, "rb") as f:
                    text = f.read()[-4000:].decode("utf-8", "replace")
                if text.strip():
                    break
            except OSError:
                pass
        return "\n".join(text.strip().splitlines()[-lines:])

    async def cleanup(self, grace=2.0):
        """Ends the service (SIGTERM, then SIGKILL after grace) and removes its directory."""
        if self.running():
            elapsed, _ = await self.stop(grace)
            if elapsed is None:
                await self.kill()
        if self.output:
            self.output.close()
        if not self.bench.keep:
            shutil.rmtree(self.dir, ignore_errors=True)


class UsbRig:
    """The service with n USB devices, each past its handshake."""

    def __init__(self, bench, count):
        self.bench = bench
        self.service = Service(bench, count)
        self.devices = [UsbDevice(self.service.socket_path(i)) for i in range(count)]

    async def __aenter__(self):
        try:
            return await self._enter()
        except BaseException:
            await self.__aexit__(None, None, None)
            raise

    async def _enter(self):
        for d in self.devices:
            await d.listen()
        await self.service.start()
        note(f"service started with {len(self.devices)} USB device(s)")
        await self.service.running_until(
            asyncio.gather(*(d.handshake.wait() for d in self.devices)),
            self.bench.handshake_timeout,
            f"handshake of {len(self.devices)} USB device(s)",
            lambda: f"{sum(d.handshake.is_set() for d in self.devices)} done",
        )
        note("handshakes done")
        return self

    async def open_channels(self, port, grant):
        async def one(d):
            await d.open_channel(port, self.bench.connect_timeout)
            d.set_grant(grant)

        await asyncio.gather(*(one(d) for d in self.devices))

    async def __aexit__(self, *exc):
        await self.service.cleanup()
        note("service ended")
        for d in self.devices:
            await d.close()


# --- stages ------------------------------------------------------------------------


async def stage_roundtrip(b):
    echo = await EchoServer().start()
    rng = random.Random(b.seed)
    payload = bytes(rng.randrange(256) for _ in range(64))
    service_s, baseline_s = [], []
    try:
        reader, writer = await bounded(asyncio.open_connection("127.0.0.1", echo.port), 10, "baseline connection")
        nodelay(writer)
        async with UsbRig(b, 1) as rig:
            dev = rig.devices[0]
            await rig.open_channels(echo.port, 127)
            for i in range(b.rt_warmup + b.rt_samples):
                await asyncio.sleep(rng.uniform(0.002, 0.008))
                t = await dev.round_trip(payload, b.rt_timeout)
                await asyncio.sleep(rng.uniform(0.002, 0.008))
                start = now()
                writer.write(payload)
                back = await bounded(reader.readexactly(len(payload)), b.rt_timeout, "baseline echo")
                base = now() - start
                if back != payload:
                    raise StageError("the baseline echo came back altered")
                if i >= b.rt_warmup:
                    service_s.append(t * 1000)
                    baseline_s.append(base * 1000)
        writer.close()
    finally:
        await echo.close()
    svc, base = stats_ms(service_s), stats_ms(baseline_s)
    figures = {
        "service_ms": svc,
        "baseline_ms": base,
        "added_p50_ms": svc["p50"] - base["p50"],
        "added_p99_ms": svc["p99"] - base["p99"],
        "payload_bytes": len(payload),
        "grant": 127,
    }
    table = [["", "min", "p50", "p90", "p99", "max"]]
    for name, st in (("service (USB)", svc), ("direct TCP", base)):
        table.append([name] + [f"{st[k]:.2f}" for k in ("min", "p50", "p90", "p99", "max")])
    table.append(["added", "", f"{figures['added_p50_ms']:.2f}", "", f"{figures['added_p99_ms']:.2f}", ""])
    return figures, {"service_ms": service_s, "baseline_ms": baseline_s}, table, "ms, %d round trips of 64 bytes" % len(service_s)


async def stage_throughput(b):
    payload = random.Random(b.seed + 1).randbytes(b.tp_bytes)
    blast = await BlastServer(payload).start()
    figures, table = {}, [["grant", "KiB/s", "seconds", "RX_DATA0 frames", "mean size", "max size", "bytes checked"]]
    errors = []
    try:
        for grant in (127, 255):
            try:
                async with UsbRig(b, 1) as rig:
                    dev = rig.devices[0]
                    dev.grant = grant
                    dev.connected.clear()
                    dev.send(frame(TX_PORT0, bytes([blast.port & 0xFF, blast.port >> 8])) + frame(TX_CONNECT0, b"127.0.0.1\x00"))
                    await bounded(dev.connected.wait(), b.connect_timeout, "channel 0 connected report")
                    start = now()
                    dev.send(frame(TX_PACKET_SIZE0, bytes([grant])))
                    await dev.wait_rx(len(payload), b.tp_timeout, f"grant {grant}")
                    elapsed = now() - start
                    got = bytes(dev.rx[: len(payload)])
                    if got != payload:
                        bad = next(i for i in range(len(payload)) if got[i] != payload[i])
                        raise StageError(f"grant {grant}: byte {bad} differs from what the server sent")
                    if max(dev.rx_frames) > grant:
                        raise StageError(f"grant {grant}: an RX_DATA0 of {max(dev.rx_frames)} bytes")
                    frames = dev.rx_frames
                    figures[f"grant{grant}"] = {
                        "kib_per_s": len(payload) / 1024 / elapsed,
                        "seconds": elapsed,
                        "bytes": len(payload),
                        "frames": len(frames),
                        "mean_frame": sum(frames) / len(frames),
                        "max_frame": max(frames),
                    }
                    f = figures[f"grant{grant}"]
                    table.append([str(grant), f"{f['kib_per_s']:.1f}", f"{elapsed:.2f}", str(len(frames)),
                                  f"{f['mean_frame']:.1f}", str(f["max_frame"]), str(len(payload))])
            except StageError as e:
                errors.append(str(e))
                table.append([str(grant), "failed", "", "", "", "", ""])
    finally:
        await blast.close()
    if errors:
        raise StageError("; ".join(errors), figures, table)
    return figures, {}, table, f"server -> device, {b.tp_bytes // 1024} KiB sent at once"


async def stage_idle(b):
    figures, table = {}, [["devices", "CPU % of a core", "switches/s", "threads", "RSS MiB"]]
    errors = []
    for count in b.idle_counts:
        try:
            async with UsbRig(b, count) as rig:
                await asyncio.sleep(b.settle)
                m = await measure_idle(rig.service.proc.pid, b.idle_window)
                figures[f"usb{count}"] = dict(m, devices=count, kind="usb")
        except (StageError, OSError) as e:
            errors.append(f"{count} USB: {e}")
            table.append([f"{count} USB", "failed", "", "", ""])
            continue
        table.append([f"{count} USB", f"{m['cpu_percent']:.2f}", f"{m['switches_per_s']:.0f}", str(m["threads"]),
                      f"{m['rss_mib']:.1f}"])
    if b.serial_idle_together:
        # Two services side by side (each measured on its own) to keep a quick run short.
        outcomes = await asyncio.gather(idle_serial(b, 3), idle_serial(b, 2), return_exceptions=True)
    else:
        outcomes = []
        for protocol in (3, 2):
            try:
                outcomes.append(await idle_serial(b, protocol))
            except (StageError, OSError) as e:
                outcomes.append(e)
    for protocol, m in zip((3, 2), outcomes):
        if isinstance(m, BaseException):
            if not isinstance(m, (StageError, OSError)):
                raise m
            errors.append(f"serial protocol {protocol}: {m}")
            table.append([f"1 serial p{protocol}", "failed", "", "", ""])
            continue
        figures[f"serial{protocol}"] = dict(m, devices=1, kind=f"serial protocol {protocol}")
        table.append([f"1 serial p{protocol}", f"{m['cpu_percent']:.2f}", f"{m['switches_per_s']:.0f}",
                      str(m["threads"]), f"{m['rss_mib']:.1f}"])
    if errors:
        raise StageError("; ".join(errors), figures, table)
    return figures, {}, table, f"no traffic, {b.idle_window:g} s window after the handshake"


class DevSim:
    """kiv-devsim on two pseudo-terminals, writing the service's settings.xml."""

    def __init__(self, bench, service, protocol, documents, ofd=None, extra=()):
        self.args = [bench.devsim, "--protocol", str(protocol), "--documents", str(documents), "--commands", "0",
                     "--config", service.settings, "--logs", service.logs, "--timeout", str(bench.serial_timeout)]
        if ofd:
            self.args += ["--ofd", ofd]
        self.args += list(extra)
        self.lines = []
        self.line_event = asyncio.Event()

    async def start(self):
        self.proc = await asyncio.create_subprocess_exec(
            *self.args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.reader = asyncio.ensure_future(self._read())

    async def _read(self):
        while True:
            line = await self.proc.stdout.readline()
            if not line:
                break
            self.lines.append(line.decode("utf-8", "replace").rstrip())
            self.line_event.set()

    async def wait_line(self, pattern, timeout):
        deadline = now() + timeout
        rx = re.compile(pattern)
        while True:
            for line in self.lines:
                if rx.search(line):
                    return line
            left = deadline - now()
            if left <= 0 or self.reader.done():
                tail = " | ".join(self.lines[-3:]) or "no output"
                raise StageError(f"kiv-devsim: no line like /{pattern}/ ({tail})")
            self.line_event.clear()
            try:
                await asyncio.wait_for(self.line_event.wait(), left)
            except asyncio.TimeoutError:
                pass

    async def finish(self, timeout):
        try:
            await asyncio.wait_for(self.proc.wait(), timeout)
        except asyncio.TimeoutError:
            self.proc.kill()
            await self.proc.wait()
        await asyncio.wait_for(self.reader, 5)
        return self.proc.returncode

    async def cleanup(self):
        if not hasattr(self, "proc"):
            return
        if self.proc.returncode is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                await asyncio.wait_for(self.proc.wait(), 5)
            except asyncio.TimeoutError:
                self.proc.kill()
                await self.proc.wait()
        if not self.reader.done():
            self.reader.cancel()


async def idle_serial(b, protocol):
    """One serial device whose document waits on a silent server: the link idle, the channel open."""
    silent = await SilentServer().start()
    service = Service(b)
    sim = DevSim(b, service, protocol, 1, ofd=f"127.0.0.1:{silent.port}")
    try:
        await sim.start()
        await sim.wait_line("service configuration written", 15)
        await service.start()
        note(f"kiv-devsim and the service started (protocol {protocol})")
        await service.running_until(silent.got.wait(), b.handshake_timeout + b.connect_timeout,
                                    f"protocol-{protocol} document at the server")
        await asyncio.sleep(b.settle)
        if sim.proc.returncode is not None:
            raise StageError("kiv-devsim ended early: " + " | ".join(sim.lines[-3:]))
        note("document at the silent server")
        return await measure_idle(service.proc.pid, b.idle_window)
    finally:
        await sim.cleanup()
        await service.cleanup()
        note("service ended")
        await silent.close()


async def stage_scale(b):
    echo = await EchoServer().start()
    samples, lost, errors = [], 0, []
    payload = bytes(range(64))
    try:
        async with UsbRig(b, b.scale_devices) as rig:
            await rig.open_channels(echo.port, 127)

            async def run(i, dev):
                nonlocal lost
                rng = random.Random(b.seed + 100 + i)
                for k in range(b.scale_rounds):
                    await asyncio.sleep(rng.uniform(0.002, 0.008))
                    try:
                        samples.append(await dev.round_trip(payload, b.rt_timeout) * 1000)
                    except StageError as e:
                        lost += b.scale_rounds - k
                        errors.append(str(e))
                        return

            await asyncio.gather(*(run(i, d) for i, d in enumerate(rig.devices)))
    finally:
        await echo.close()
    st = stats_ms(samples)
    figures = {"devices": b.scale_devices, "rounds_each": b.scale_rounds, "latency_ms": st, "lost": lost}
    ref = b.results.get("roundtrip", {}).get("figures", {}).get("service_ms")
    table = [["", "count", "p50", "p99", "max", "lost"]]
    if st["count"]:
        table.append([f"{b.scale_devices} devices at once", str(st["count"]), f"{st['p50']:.2f}", f"{st['p99']:.2f}",
                      f"{st['max']:.2f}", str(lost)])
    if ref:
        table.append(["1 device (round trip stage)", str(ref["count"]), f"{ref['p50']:.2f}", f"{ref['p99']:.2f}",
                      f"{ref['max']:.2f}", "0"])
    if lost:
        raise StageError(f"{lost} round trip(s) lost: {errors[0]}", figures, table)
    return figures, {"latency_ms": samples}, table, "ms, 64-byte round trips"


async def serial_one(b, protocol, echo_port):
    """kiv-devsim's echo rounds through one serial proxy: (figures, samples, error or None)."""
    service = Service(b)
    rounds = b.serial_warmup + b.serial_rounds
    sim = DevSim(b, service, protocol, 1, ofd=f"127.0.0.1:{echo_port}",
                 extra=["--echo-rounds", str(rounds), "--echo-size", "64", "--seed", str(b.seed + protocol)])
    service_ms, direct_ms = [], []
    try:
        await sim.start()
        await sim.wait_line("service configuration written", 15)
        await service.start()
        note(f"kiv-devsim and the service started (protocol {protocol})")
        code = await service.running_until(sim.finish(b.serial_timeout + 10), b.serial_timeout + 20,
                                           f"kiv-devsim's protocol-{protocol} echo rounds")
        failed = []
        for line in sim.lines:
            m = re.search(r"echo round (\d+): service (\d+) us, direct (\d+) us", line)
            if m and int(m.group(1)) > b.serial_warmup:
                service_ms.append(int(m.group(2)) / 1000.0)
                direct_ms.append(int(m.group(3)) / 1000.0)
            if "stopped" in line or "error" in line or "FAILED" in line:
                failed.append(line.replace("kiv-devsim: ", "").strip())
        error = None
        if code != 0 or len(service_ms) < b.serial_rounds:
            why = failed[0] if failed else (" | ".join(sim.lines[-2:]) or "no output")
            error = f"protocol {protocol}: kiv-devsim exit {code}, {len(service_ms)} of {b.serial_rounds} rounds ({why})"
        return service_ms, direct_ms, error
    except StageError as e:
        return service_ms, direct_ms, f"protocol {protocol}: {e}"
    finally:
        await sim.cleanup()
        await service.cleanup()
        note(f"service ended (protocol {protocol})")


async def stage_serial(b):
    figures, samples, errors = {}, {}, []
    table = [["", "min", "p50", "p90", "p99", "max"]]
    echo = await EchoServer().start()
    try:
        if b.serial_together:
            # Side by side to keep a quick run short.
            outcomes = await asyncio.gather(serial_one(b, 3, echo.port), serial_one(b, 2, echo.port))
        else:
            outcomes = [await serial_one(b, 3, echo.port), await serial_one(b, 2, echo.port)]
    finally:
        await echo.close()
    for protocol, (service_ms, direct_ms, error) in zip((3, 2), outcomes):
        svc, base = stats_ms(service_ms), stats_ms(direct_ms)
        f = {"service_ms": svc, "baseline_ms": base, "payload_bytes": 64, "grant": 127}
        if svc["count"]:
            f["added_p50_ms"] = svc["p50"] - base["p50"]
            f["added_p99_ms"] = svc["p99"] - base["p99"]
            # The bare figures, as the summary and the plot read them.
            f.update({k: svc[k] for k in ("count", "min", "p50", "p90", "p99", "max")})
            table.append([f"protocol {protocol}"] + [f"{svc[k]:.2f}" for k in ("min", "p50", "p90", "p99", "max")])
            table.append([f"  direct TCP"] + [f"{base[k]:.2f}" for k in ("min", "p50", "p90", "p99", "max")])
            table.append(["  added", "", f"{f['added_p50_ms']:.2f}", "", f"{f['added_p99_ms']:.2f}", ""])
        figures[f"protocol{protocol}"] = f
        samples[f"protocol{protocol}_ms"] = service_ms
        samples[f"protocol{protocol}_baseline_ms"] = direct_ms
        if error:
            errors.append(error)
    if errors:
        raise StageError("; ".join(errors), figures, table)
    n = len(samples["protocol3_ms"])
    return figures, samples, table, f"ms, {n} round trips of 64 bytes each, grant 127, timed by kiv-devsim"


async def stage_stop(b):
    figures, errors = {}, []
    table = [[f"{b.stop_devices} USB devices", "SIGTERM to exit, s", "exit code"]]
    echo = await EchoServer().start()
    try:
        for mode in ("idle", "traffic"):
            rig = UsbRig(b, b.stop_devices)
            loops = []
            try:
                await rig.__aenter__()
                if mode == "traffic":
                    await rig.open_channels(echo.port, 127)
                    stopping = False
                    done = [0]

                    async def loop(dev):
                        while not stopping:
                            try:
                                await dev.round_trip(bytes(64), 2)
                                done[0] += 1
                            except StageError:
                                if stopping:
                                    return

                    loops = [asyncio.ensure_future(loop(d)) for d in rig.devices]
                    await asyncio.sleep(1.0)
                    if done[0] < len(rig.devices):
                        raise StageError(f"only {done[0]} round trips in the second before the stop")
                    before = done[0]
                else:
                    await asyncio.sleep(b.settle)
                elapsed, code = await rig.service.stop(b.stop_bound)
                stopping = True
                if elapsed is None:
                    figures[mode] = {"seconds": None, "exit_code": None, "bound_s": b.stop_bound}
                    table.append([mode, f"> {b.stop_bound:g} (killed)", ""])
                    errors.append(f"{mode}: no exit within {b.stop_bound:g} s of SIGTERM")
                else:
                    figures[mode] = {"seconds": elapsed, "exit_code": code}
                    if mode == "traffic":
                        figures[mode]["round_trips_in_last_second"] = before
                        figures[mode]["round_trips_during_stop"] = done[0] - before
                    table.append([mode, f"{elapsed:.2f}", str(code)])
            except StageError as e:
                errors.append(f"{mode}: {e}")
                table.append([mode, "failed", ""])
            finally:
                stopping = True
                for l in loops:
                    l.cancel()
                await asyncio.gather(*loops, return_exceptions=True)
                await rig.__aexit__(None, None, None)
    finally:
        await echo.close()
    if errors:
        raise StageError("; ".join(errors), figures, table)
    return figures, {}, table, f"{b.stop_devices} USB devices"


async def stage_churn(b):
    """One device plugged in and pulled out again and again, each time until the service has opened it."""
    service = Service(b, 1, hotplug=True)
    dev = UsbDevice(service.socket_path(0))
    figures = {}
    try:
        await dev.listen()
        await service.start()
        pid = service.proc.pid

        async def trigger(name, n):
            # The simulated libusb takes the file away once it has seen it.
            path = os.path.join(service.sock, f"{name}0")
            open(path, "w").close()

            async def taken():
                while os.path.exists(path):
                    await asyncio.sleep(0.005)

            await service.running_until(taken(), b.handshake_timeout, f"{name} {n} seen")

        async def plug_cycle(n, handshake=False):
            dev.accepted.clear()
            await trigger("plug", n)
            await service.running_until(dev.accepted.wait(), b.handshake_timeout, f"open after plug {n}")
            if handshake:
                await service.running_until(dev.handshake.wait(), b.handshake_timeout, "first handshake")
            await trigger("unplug", n)
            # The read in flight fails with the connection: the worker sees the device gone.
            if dev.writer is not None:
                dev.writer.close()

        await plug_cycle(0, handshake=True)
        await asyncio.sleep(b.settle)
        first = proc_sample(pid)
        t0 = now()
        for n in range(1, b.churn_cycles + 1):
            await plug_cycle(n)
        elapsed = now() - t0
        # What the last cycles left behind ends first.
        await asyncio.sleep(max(b.settle, 1.0))
        last = proc_sample(pid)
        with open(os.path.join(service.dir, "output.txt"), "rb") as f:
            out = f.read().decode("utf-8", "replace")
        figures = {
            "cycles": b.churn_cycles,
            "seconds": round(elapsed, 2),
            "rss_start_mib": first["rss_kib"] / 1024.0,
            "rss_end_mib": last["rss_kib"] / 1024.0,
            "rss_growth_mib": (last["rss_kib"] - first["rss_kib"]) / 1024.0,
            "threads_start": first["threads"],
            "threads_end": last["threads"],
            "pairs_registered": out.count("Register Kiv worker ["),
        }
    finally:
        await service.cleanup()
        await dev.close()
    table = [["cycles", "s", "RSS start MiB", "RSS growth MiB", "threads start / end", "pairs registered"],
             [str(figures["cycles"]), f"{figures['seconds']:.1f}", f"{figures['rss_start_mib']:.1f}",
              f"{figures['rss_growth_mib']:+.2f}", f"{figures['threads_start']} / {figures['threads_end']}",
              str(figures["pairs_registered"])]]
    return figures, {}, table, "hot-plug on, one device plugged and pulled, each plug until the service opens it"


STAGE_FUNCS = {
    "roundtrip": (stage_roundtrip, "USB round trip (64 bytes, grant 127) against direct TCP"),
    "throughput": (stage_throughput, "Throughput server -> device"),
    "idle": (stage_idle, "Idle cost"),
    "scale": (stage_scale, "Scale: devices doing round trips at once"),
    "serial": (stage_serial, "Serial round trip through the protocol-3 and protocol-2 proxies"),
    "stop": (stage_stop, "Stop time"),
    "churn": (stage_churn, "Hot-plug churn: plug/unplug cycles of one device"),
}


# --- output ---------------------------------------------------------------------------


def format_table(rows):
    widths = [max(len(str(r[i])) if i < len(r) else 0 for r in rows) for i in range(len(rows[0]))]
    out = []
    for n, r in enumerate(rows):
        cells = [str(c).rjust(widths[i]) if i else str(c).ljust(widths[i]) for i, c in enumerate(r)]
        out.append("  " + "  ".join(cells).rstrip())
        if n == 0:
            out.append("  " + "  ".join("-" * w for w in widths))
    return "\n".join(out)


def fmt(v, digits=2):
    return "n/a" if v is None else f"{v:.{digits}f}"


def summary_lines(results):
    r = {k: v.get("figures", {}) for k, v in results.items()}
    lines = []
    rt = r.get("roundtrip", {})
    if "service_ms" in rt:
        lines.append(f"USB round trip added over direct TCP, p50 / p99: {fmt(rt['added_p50_ms'])} / {fmt(rt['added_p99_ms'])} ms")
    tp = r.get("throughput", {})
    if tp:
        lines.append("throughput, grant 127 / 255: %s / %s KiB/s" % (
            fmt(tp.get("grant127", {}).get("kib_per_s"), 1), fmt(tp.get("grant255", {}).get("kib_per_s"), 1)))
    idle = r.get("idle", {})
    for key, m in idle.items():
        lines.append(f"idle, {m['kind']} x{m['devices']}: {m['cpu_percent']:.2f} % of a core, "
                     f"{m['switches_per_s']:.0f} switches/s, {m['threads']} threads, RSS {m['rss_mib']:.1f} MiB")
    sc = r.get("scale", {})
    if sc.get("latency_ms", {}).get("count"):
        lines.append(f"{sc['devices']} devices at once, p50 / p99: {fmt(sc['latency_ms']['p50'])} / "
                     f"{fmt(sc['latency_ms']['p99'])} ms, lost {sc['lost']}")
    se = r.get("serial", {})
    if se:
        lines.append("serial round trip p99, protocol 3 / 2: %s / %s ms (direct TCP %s / %s ms)" % (
            fmt(se.get("protocol3", {}).get("p99")), fmt(se.get("protocol2", {}).get("p99")),
            fmt(se.get("protocol3", {}).get("baseline_ms", {}).get("p99")),
            fmt(se.get("protocol2", {}).get("baseline_ms", {}).get("p99"))))
    st = r.get("stop", {})
    if st:
        def one(m):
            if not m:
                return "n/a"
            return f"> {m['bound_s']:g} s" if m["seconds"] is None else f"{m['seconds']:.2f} s (exit {m['exit_code']})"
        lines.append(f"SIGTERM to exit, idle / in traffic: {one(st.get('idle'))} / {one(st.get('traffic'))}")
    ch = r.get("churn", {})
    if ch:
        lines.append(f"hot-plug churn, {ch['cycles']} cycles: RSS {ch['rss_growth_mib']:+.2f} MiB, threads "
                     f"{ch['threads_start']} -> {ch['threads_end']}, {ch['pairs_registered']} pair(s) registered")
    for k, v in results.items():
        if not v["ok"]:
            lines.append(f"stage {k} FAILED: {v['error']}")
    return lines


# --- driver -----------------------------------------------------------------------------


class Bench:
    pass


def configure(args):
    b = Bench()
    b.build = os.path.abspath(args.build)
    b.kiv = os.path.join(b.build, "src", "kiv")
    b.devsim = os.path.join(b.build, "tools", "kiv-devsim")
    b.simusb = os.path.join(b.build, "tests", "libusb-1.0.so.0")
    b.keep = args.keep
    b.seed = args.seed
    b.results = {}
    b.handshake_timeout = 30.0
    b.connect_timeout = 15.0
    b.rt_timeout = 10.0
    quick, smoke = args.quick, args.smoke
    b.rt_warmup = 5 if smoke else 10 if quick else 30
    b.rt_samples = args.samples or (20 if smoke else 50 if quick else 300)
    b.tp_bytes = (16 if smoke else 32 if quick else 256) * 1024
    b.tp_timeout = 120.0
    b.idle_counts = [1] if smoke else [1, 8, 32]
    b.idle_window = args.window or (1.0 if smoke else 1.5 if quick else 10.0)
    b.settle = 0.3 if (quick or smoke) else 2.0
    b.serial_idle_together = quick or smoke
    b.serial_together = quick or smoke
    b.scale_devices = 8 if smoke else 32
    b.scale_rounds = 3 if smoke else 5 if quick else 20
    b.serial_warmup = 3 if smoke else 5 if quick else 20
    b.serial_rounds = args.samples or (10 if smoke else 30 if quick else 300)
    b.serial_timeout = 120
    b.stop_devices = 4 if smoke else 8 if quick else 32
    b.stop_bound = 20.0 if (quick or smoke) else 30.0
    b.churn_cycles = 20 if smoke else 200 if quick else 1000
    b.stage_bound = 120.0 if smoke else 300.0 if quick else 600.0
    b.mode = "smoke" if smoke else "quick" if quick else "full"
    return b


async def run(args):
    b = configure(args)
    for path, what in ((b.kiv, "kiv"), (b.simusb, "the simulated libusb (tests ON)"), (b.devsim, "kiv-devsim")):
        if not os.path.exists(path):
            print(f"kivbench: {what} is not built: {path}", file=sys.stderr)
            return 2
    stages = [s.strip() for s in args.stages.split(",")] if args.stages else STAGES
    unknown = [s for s in stages if s not in STAGE_FUNCS]
    if unknown:
        print(f"kivbench: unknown stage(s) {', '.join(unknown)}; choose from {', '.join(STAGES)}", file=sys.stderr)
        return 2

    started = datetime.datetime.now(datetime.timezone.utc)
    report = {
        "tool": "kivbench",
        "mode": b.mode,
        "started_utc": started.strftime("%Y-%m-%dT%H:%M:%SZ"),
        "machine": {"cpus": os.cpu_count(), "kernel": platform.release(), "python": platform.python_version(),
                    "loadavg_start": os.getloadavg()},
        "build": project_path(b.build),
        "commit": git_commit(),
        "seed": b.seed,
        "stages": b.results,
    }
    print(f"kivbench ({b.mode}): {b.build}, {os.cpu_count()} CPUs, load average {fmt_load(os.getloadavg())}")
    for name in stages:
        func, title = STAGE_FUNCS[name]
        print(f"\n== {name}: {title}", flush=True)
        load0, t0 = os.getloadavg(), now()
        entry = {"ok": False, "loadavg_start": load0}
        try:
            figures, samples, table, note = await asyncio.wait_for(func(b), b.stage_bound)
            samples = {k: [round(x, 4) for x in v] for k, v in samples.items()}
            entry.update(ok=True, figures=figures, samples=samples)
            print(format_table(table))
            print(f"  ({note})")
        except asyncio.TimeoutError:
            entry["error"] = f"the stage took longer than {b.stage_bound:g} s"
        except StageError as e:
            entry["error"] = str(e.args[0])
            if len(e.args) > 1:
                entry["figures"] = e.args[1]
                print(format_table(e.args[2]))
        except Exception as e:  # a bug in a stage must not end the run
            entry["error"] = f"{type(e).__name__}: {e}"
            traceback.print_exc()
        entry["seconds"] = round(now() - t0, 2)
        entry["loadavg_end"] = os.getloadavg()
        if not entry["ok"]:
            print(f"  FAILED: {entry['error']}")
        print(f"  [{entry['seconds']:.1f} s, load average {fmt_load(load0)} -> {fmt_load(entry['loadavg_end'])}]", flush=True)
        b.results[name] = entry

    report["machine"]["loadavg_end"] = os.getloadavg()
    report["summary"] = summary_lines(b.results)
    print("\n== summary")
    for line in report["summary"]:
        print("  " + line)

    if args.json:
        json_path = os.path.abspath(args.json)
    else:
        stamp = started.strftime("%Y%m%d-%H%M%S")
        json_path = os.path.join(os.path.abspath(args.out or os.path.join(b.build, "bench-results")), f"kivbench-{stamp}.json")
    os.makedirs(os.path.dirname(json_path), exist_ok=True)
    with open(json_path, "w") as f:
        json.dump(report, f, indent=1)
    print(f"\nJSON: {json_path}")
    status = 0 if all(v["ok"] for v in b.results.values()) else 1
    # What was written must read back with every selected stage's figures.
    with open(json_path) as f:
        back = json.load(f)
    missing = [s for s in stages if not (back["stages"].get(s, {}).get("ok") and back["stages"][s].get("figures"))]
    if missing:
        print(f"kivbench: stages without all their figures: {', '.join(missing)}", file=sys.stderr)
        status = 1
    if not args.no_plot:
        png_path = os.path.splitext(json_path)[0] + ".png"
        try:
            sys.dont_write_bytecode = True  # nothing written into the source tree
            sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
            import kivplot

            print(kivplot.plot(report, png_path))
        except ImportError as e:
            print(f"plot skipped: {e} (install python3-matplotlib)")
        except Exception as e:  # a broken plot is the benchmark's own fault
            print(f"kivbench: the plot failed: {type(e).__name__}: {e}", file=sys.stderr)
            status = 1
    return status


def fmt_load(load):
    return " ".join(f"{x:.2f}" for x in load)


def project_path(path):
    """path relative to the project, or only its name when it lies outside:
    results are committed, the machine's directory layout is not."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    relative = os.path.relpath(os.path.abspath(path), root)
    return os.path.basename(os.path.abspath(path)) if relative.startswith("..") else relative


def git_commit():
    try:
        here = os.path.dirname(os.path.abspath(__file__))
        return subprocess.run(["git", "-C", here, "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                              timeout=10).stdout.strip() or None
    except (OSError, subprocess.SubprocessError):
        return None


def main():
    p = argparse.ArgumentParser(
        prog="scripts/bench",
        description="Benchmark of the built kiv: latency, throughput, idle cost, scale, stop time.",
        epilog="scripts/bench builds build-bench (Release, tests ON) and passes --build itself; "
        "KIV_BENCH_BUILD_DIR names an existing build to use instead.")
    p.add_argument("--build", required=True, help="build directory holding src/kiv, tools/kiv-devsim, tests/libusb-1.0.so.0")
    p.add_argument("--stages", help="comma-separated subset of: " + ",".join(STAGES))
    p.add_argument("--quick", action="store_true", help="fewer samples and shorter windows: under a minute")
    p.add_argument("--smoke", action="store_true", help="the least that shows every figure can be taken (for CI)")
    p.add_argument("--samples", type=int, help="round trips in the round-trip and serial stages")
    p.add_argument("--window", type=float, help="idle window in seconds")
    p.add_argument("--seed", type=int, default=13)
    p.add_argument("--out", help="directory for the JSON and the PNG (default: BUILD/bench-results)")
    p.add_argument("--json", help="write the JSON to this file (the PNG beside it)")
    p.add_argument("--no-plot", action="store_true")
    p.add_argument("--verbose", action="store_true", help="print the progress within the stages")
    p.add_argument("--keep", action="store_true", help="keep the services' temporary directories")
    args = p.parse_args()
    global VERBOSE
    VERBOSE = args.verbose
    return asyncio.run(run(args))


if __name__ == "__main__":
    sys.exit(main())
