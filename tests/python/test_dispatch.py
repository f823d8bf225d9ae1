"""Creating controls by name and reaching their members late-bound."""
import os
import shutil
import pathlib
import pydoc

import pytest

import corvane
from conftest import MODULE_PATH

CLSID = "{4ACD93B7-4A1E-48E6-B6CE-BE0BA1785C43}"

# The published members of Portula: name, readable, writable.
MEMBERS = [
    ("LogFile", True, True), ("Settings", True, True), ("Break", True, True),
    ("CDHolding", True, False), ("CommEvent", True, False), ("CommID", True, False),
    ("CommPort", True, True), ("CTSHolding", True, False), ("DSRHolding", True, False),
    ("DTREnable", True, True), ("EOFEnable", True, True), ("Handshaking", True, True),
    ("InBufferCount", True, True), ("InBufferSize", True, True), ("InputLen", True, True),
    ("InputMode", True, True), ("NullDiscard", True, True), ("OutBufferCount", True, True),
    ("OutBufferSize", True, True), ("ParityReplace", True, True), ("RThreshold", True, True),
    ("RTSEnable", True, True), ("SThreshold", True, True), ("PortOpen", True, True),
    ("Output", False, True), ("Input2", True, False), ("UDPUse", True, True),
    ("RemoteHost", True, True), ("RemotePort", True, True), ("LocalPort", True, True),
]
# What a C++ host's late-bound helpers report for a missing accessor.
NO_SUCH_MEMBER = 438


@pytest.mark.parametrize("name", ["Corvane.Portula", "corvane.portula", CLSID, CLSID.lower()])
def test_creates_by_progid_or_clsid(name):
    with corvane.Dispatch(name) as p:
        assert p.Settings == "9600,n,8,1"
        assert "Portula" in repr(p)


@pytest.mark.parametrize("name, error, text", [
    ("Nobody.Registered", corvane.Error, "Nobody.Registered"),
    ("{4ACD93B7-4A1E-48E6-B6CE-BE0BA1785C44}", corvane.Error, "429"),
    ("{not-a-clsid}", ValueError, "malformed CLSID"),
    ("", corvane.Error, "429"),
])
def test_a_name_that_names_no_class_fails_clearly(name, error, text):
    with pytest.raises(error) as raised:
        corvane.Dispatch(name)
    assert text in str(raised.value)
    if error is corvane.Error:
        assert raised.value.number == 429


def outcome(action):
    """What a late-bound access gave: ("value", v) or ("error", number)."""
    try:
        return ("value", action())
    except corvane.Error as error:
        return ("error", error.number)


def test_every_member_is_reachable_by_name_in_any_case():
    with corvane.Dispatch("Corvane.Portula") as p:
        assert sorted(n for n in dir(p) if n != "events") == sorted(n for n, _, _ in MEMBERS)
        for name, readable, writable in MEMBERS:
            # Some members need an open port and fail with the control's own error: the
            # name still reached the control, the same way in every spelling.
            expected = outcome(lambda: getattr(p, name))
            if not readable:
                assert expected == ("error", NO_SUCH_MEMBER), name
            for spelling in (name.lower(), name.upper()):
                assert outcome(lambda: getattr(p, spelling)) == expected, spelling
                if not writable:
                    assert outcome(lambda: setattr(p, spelling, 0)) == ("error", NO_SUCH_MEMBER)
        with pytest.raises(corvane.Error) as raised:
            p.CDHolding = True
        assert str(NO_SUCH_MEMBER) in str(raised.value) and raised.value.description
        with pytest.raises(AttributeError, match="no member 'NoSuchThing'"):
            p.NoSuchThing
        with pytest.raises(AttributeError):
            p.NoSuchThing = 1


@pytest.mark.parametrize("member, value, expected", [
    ("Settings", "19200,e,7,2", "19200,e,7,2"),
    ("UDPUse", True, True),
    ("UDPUse", False, False),
    ("DTREnable", 0, False),
    # A number is as true as Python's bool() says, however large.
    ("DTREnable", 2**100, True),
    ("DTREnable", float("inf"), True),
    ("DTREnable", 0.0, False),
    ("RemotePort", 65535, 65535),
    ("InputLen", 32767, 32767),
    ("InputLen", 2.5, 2),  # Basic rounding: ties to even
    ("RemoteHost", "日本語のホスト", "日本語のホスト"),
    ("LogFile", None, ""),
])
def test_values_cross_by_the_published_types(member, value, expected):
    with corvane.Dispatch("Corvane.Portula") as p:
        setattr(p, member, value)
        got = getattr(p, member)
        assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("member, value, error, text", [
    ("RemotePort", "10002", TypeError, "RemotePort takes Long (int), not str"),
    ("InputLen", b"1", TypeError, "InputLen takes Integer (int), not bytes"),
    ("Settings", 9600, TypeError, "Settings takes String (str), not int"),
    ("Output", [1, 2], TypeError, "not list"),
    ("Output", object(), TypeError, "not object"),
    ("InputLen", 40000, corvane.Error, "error 6"),
    ("InputLen", 1e300, corvane.Error, "error 6"),
    ("RemotePort", 2**80, corvane.Error, "error 6"),
    ("InputLen", True, corvane.Error, "error 380"),  # True travels as -1
    ("DTREnable", float("nan"), ValueError, "DTREnable takes no NaN"),
    ("CommPort", 0, corvane.Error, "error"),
    ("Settings", "fast,x,9,3", corvane.Error, "error"),
    # Only U+DC80..U+DCFF stand for bytes; the code page has nothing for other surrogates.
    ("Output", "a\ud800b", ValueError, "Output cannot carry the lone surrogate U+D800"),
    ("Settings", "\udc7f", ValueError, "Settings cannot carry the lone surrogate U+DC7F"),
])
def test_a_value_the_member_cannot_take_fails_and_changes_nothing(member, value, error, text):
    with corvane.Dispatch("Corvane.Portula") as p:
        before = None if member == "Output" else getattr(p, member)
        with pytest.raises(error) as raised:
            setattr(p, member, value)
        assert text in str(raised.value)
        if member != "Output":
            assert getattr(p, member) == before
        if error is corvane.Error:
            assert raised.value.number > 0 and raised.value.description


def test_documentation_comes_from_the_type_library():
    with corvane.Dispatch("Corvane.Portula") as p:
        for text in (p.__doc__, pydoc.render_doc(p, renderer=pydoc.plaintext)):
            assert "Settings: String (str), read/write" in text
            assert "CDHolding: Boolean (bool), read-only" in text
            assert "Output: Variant (str, bytes, int, float, bool or None), write-only" in text
            assert "OnComm()" in text


def test_unregistering_and_registering_again():
    corvane.unregister(MODULE_PATH)
    with pytest.raises(corvane.Error) as raised:
        corvane.Dispatch("Corvane.Portula")
    assert raised.value.number == 429
    corvane.register(MODULE_PATH)
    with corvane.Dispatch("Corvane.Portula") as p:
        assert p.CommPort == 1


def _root_alone_can_change(path):
    """True when `path` and every folder above it are root's and not writable by others."""
    path = os.path.realpath(path)
    while True:
        info = os.stat(path)
        if info.st_uid != 0 or info.st_mode & 0o022:
            return False
        if path == "/":
            return True
        path = os.path.dirname(path)


@pytest.mark.skipif(os.geteuid() != 0 or not _root_alone_can_change("/run")
                    or not _root_alone_can_change(MODULE_PATH),
                    reason="the machine-wide registry and its library must be root's alone")
def test_a_machine_wide_registration_serves_a_user_with_none(monkeypatch):
    import shutil
    import tempfile
    stand_in = tempfile.mkdtemp(dir="/run", prefix="corvane-test-")
    os.chmod(stand_in, 0o755)
    machine = pathlib.Path(stand_in) / "corvane-platform"
    machine.mkdir(mode=0o755)
    empty = "corvane-platform-registry 1\n"
    (machine / "registry").write_text(empty)
    os.chmod(machine / "registry", 0o644)
    monkeypatch.setenv("CORVANE_PLATFORM_MACHINE_HOME", str(machine))
    corvane.unregister(MODULE_PATH)
    corvane.register(MODULE_PATH, system=True)
    assert os.path.realpath(MODULE_PATH) in (machine / "registry").read_text()
    for name in ("Corvane.Portula", CLSID):
        with corvane.Dispatch(name) as p:
            assert "Settings: String (str), read/write" in p.__doc__
    corvane.unregister(MODULE_PATH, system=True)
    assert (machine / "registry").read_text() == empty
    shutil.rmtree(stand_in)


@pytest.mark.skipif(os.geteuid() != 0, reason="registering for all users needs root")
def test_a_library_others_may_change_is_refused_for_all_users_before_it_loads(tmp_path,
                                                                                monkeypatch):
    # A copy in a folder others may write: its code would run as root, then as every user.
    # The refusal is the platform's own (70), naming the folder, not the registry's after
    # the library ran.
    monkeypatch.setenv("CORVANE_PLATFORM_MACHINE_HOME", str(tmp_path / "machine"))
    folder = tmp_path / "shared"
    folder.mkdir()
    os.chmod(folder, 0o777)
    copy = folder / "Corvane.so"
    shutil.copyfile(MODULE_PATH, copy)
    with pytest.raises(corvane.Error) as raised:
        corvane.register(str(copy), system=True)
    assert raised.value.number == 70
    assert any(f'"{above}"' in raised.value.description for above in copy.parents)


@pytest.mark.parametrize("path, text", [
    ("/nonexistent/Corvane.so", "no component library"),
    ("/etc/hostname", "cannot load"),
    (corvane._corvane.__file__, "no DllRegisterServer"),
])
def test_registering_what_is_no_component_library_fails_clearly(path, text):
    with pytest.raises(ValueError, match=text):
        corvane.register(path)
