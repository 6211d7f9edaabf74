"""Shared pieces of the Blender tests: the test sender as a process of its own, and waiting for
a condition with a deadline."""

import os
import signal
import socket
import subprocess
import time

import pytest

DEADLINE = 10.0


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def eventually(condition, deadline=DEADLINE, pause=0.01):
    """True once condition() holds; False when the deadline passes first."""
    end = time.monotonic() + deadline
    while True:
        if condition():
            return True
        if time.monotonic() > end:
            return False
        time.sleep(pause)


class Sender:
    """telmora-sim-server streaming the recorded walk, announcing to `port`."""

    def __init__(self, port, name="Blender Test Sender", rate=120, options=()):
        self.port = port
        self.name = name
        self.process = subprocess.Popen(
            [os.environ["TELMORA_SIM_SERVER"], "--name", name, "--announce-port", str(port),
             "--rate", str(rate), *options],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def pause(self):
        self.process.send_signal(signal.SIGSTOP)

    def resume(self):
        self.process.send_signal(signal.SIGCONT)

    def stop(self):
        if self.process.poll() is None:
            self.resume()
            self.process.terminate()
            self.process.wait(timeout=DEADLINE)


@pytest.fixture
def sender():
    running = Sender(free_udp_port())
    yield running
    running.stop()
