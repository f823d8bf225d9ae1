"""Shared fixtures: a private platform home with the control registered, free UDP ports,
pseudo-terminals mapped to serial port numbers, the examples' folder, and scripts run as
programs of their own."""
import os
import pathlib
import socket
import subprocess
import sys
import textwrap

import pytest

import corvane

MODULE_PATH = os.environ["CORVANE_MODULE_PATH"]
EXAMPLES_DIR = pathlib.Path(os.environ["CORVANE_EXAMPLES_DIR"])


@pytest.fixture(autouse=True)
def platform_home(tmp_path, monkeypatch):
    """Every test registers the control in a registry of its own."""
    home = tmp_path / "platform-home"
    home.mkdir(mode=0o700)
    monkeypatch.setenv("CORVANE_PLATFORM_HOME", str(home))
    corvane.register(MODULE_PATH)
    yield home
    # Nothing a test created may outlive it, and the library must then be unloadable.
    corvane._corvane._release_all()
    assert corvane._corvane._loaded_libraries() == []


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def open_udp(local_port, remote_port, name="Corvane.Portula"):
    control = corvane.Dispatch(name)
    control.UDPUse = True
    control.RemoteHost = "127.0.0.1"
    control.RemotePort = remote_port
    control.LocalPort = local_port
    control.RThreshold = 1
    control.PortOpen = True
    return control


@pytest.fixture
def udp_pair():
    a, b = free_udp_port(), free_udp_port()
    first, second = open_udp(a, b), open_udp(b, a)
    yield first, second
    corvane.release(first)
    corvane.release(second)


@pytest.fixture
def serial_pty(platform_home):
    """A pseudo-terminal whose far end is serial port 7: yields the master fd."""
    master, slave = os.openpty()
    (platform_home / "ports").write_text(f"7={os.ttyname(slave)}\n")
    os.chmod(platform_home / "ports", 0o600)
    yield master
    os.close(master)
    os.close(slave)


def run_example(name, *args, timeout=30):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, str(EXAMPLES_DIR / name), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=env)


def run_script(body, timeout=60, env=None):
    """Runs `body` as a program of its own that has corvane and this folder's helpers
    (free_udp_port, open_udp) imported. Under the sanitizers the child runs with them too."""
    script = textwrap.dedent(f"""
        import corvane, sys
        sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
        from conftest import free_udp_port, open_udp
    """) + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=timeout, env=env)
