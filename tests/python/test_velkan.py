"""The Python binding against the emulated programmer, through the built
libvelkan (VELKAN_LIBRARY) and the package in python/ (PYTHONPATH)."""

import errno
import os
import re

import pytest

import velkan

KEY_CHECK = bytes.fromhex("20000008" + "FF" * 8)
NO_STATUS_WORD = bytes.fromhex("07000000")


@pytest.fixture
def emulator():
    """A fresh emulated programmer, in memory."""
    velkan.use_emulator()


@pytest.fixture
def programmer(emulator):
    with velkan.Programmer() as p:
        yield p


def test_chip_commands_and_offline_storage(programmer):
    assert programmer.i2c_command(0xA0, KEY_CHECK, 2) == b"\x90\x00"
    # The same exchange in two steps, with bytes-like arguments.
    programmer.i2c_write(0xA0, bytearray(KEY_CHECK))
    assert programmer.i2c_read(0xA0, 2) == b"\x90\x00"

    programmer.set_offline_file_name(b"full-app.hex")
    assert programmer.offline_file_name() == b"full-app.hex"
    programmer.erase_offline_data()
    programmer.write_offline_data(1, 1, memoryview(b"\x01\x02\x03"))

    version = programmer.firmware_version()
    assert version.text.startswith(b"VK-PROG")
    assert version.value == 0x0100
    programmer.led_control(2)
    programmer.speaker_control(0)
    programmer.i2c_re_power()
    assert programmer.i2c_get_status() in (0, 1)


def test_contact_card(programmer):
    atr = programmer.card_reset()
    assert 2 <= len(atr) <= velkan.ATR_MAX and atr[0] in (0x3B, 0x3F)
    response = programmer.card_apdu(bytes.fromhex("00A4040000"))
    assert len(response) >= 2
    programmer.card_powerdown()


def test_failures_raise_error_with_the_library_number(programmer):
    with pytest.raises(velkan.Error) as raised:
        programmer.i2c_write(0xA0, bytes(278))  # one byte over the limit; nothing sent
    error = raised.value
    assert error.errno == velkan.ERR_BAD_ARGUMENT
    assert error.operation == "i2c_write"
    assert isinstance(error, OSError)
    assert "i2c_write" in str(error) and "-34" in str(error)

    # Arguments that do not fit a C byte are refused before the call.
    with pytest.raises(ValueError):
        programmer.i2c_write(0x1A0, b"\x00")
    with pytest.raises(ValueError):
        programmer.write_offline_data(1, 1, bytes(256))


def test_closed_programmer_refuses_operations():
    velkan.use_emulator()
    with velkan.Programmer() as p:
        handle = p.handle
        assert handle > 0
    assert p.closed and p.handle is None
    p.close()  # closing again does nothing
    # A later open may get the same number; the closed object must not use it.
    with velkan.Programmer() as other:
        with pytest.raises(velkan.Error) as raised:
            p.firmware_version()
        assert raised.value.errno == velkan.ERR_BAD_HANDLE
        assert other.firmware_version().value == 0x0100


def test_error_text_is_the_library_text(programmer):
    with pytest.raises(velkan.Error) as raised:
        programmer.i2c_write(0xA0, bytes(278))
    text = velkan._lib().VelkanErrorText(velkan.ERR_BAD_ARGUMENT).decode()
    assert text and raised.value.strerror == text
    assert velkan.error_text(velkan.ERR_NO_READER) != velkan.error_text(velkan.ERR_BAD_HANDLE)
    assert velkan.error_text(errno.ETIMEDOUT)


def test_emulator_state_persists_in_its_folder(tmp_path):
    velkan.use_emulator(tmp_path)
    with velkan.Programmer() as p:
        p.set_offline_file_name(b"kept.hex")
    velkan.use_emulator()
    with velkan.Programmer() as p:
        assert p.offline_file_name() != b"kept.hex"
    velkan.use_emulator(str(tmp_path))
    with velkan.Programmer() as p:
        assert p.offline_file_name() == b"kept.hex"
    assert (tmp_path / "state.json").exists()

    not_a_folder = tmp_path / "file"
    not_a_folder.write_bytes(b"")
    with pytest.raises(velkan.Error):
        velkan.use_emulator(not_a_folder / "state")


def test_trace_has_one_line_per_report(programmer, tmp_path):
    trace = tmp_path / "trace.txt"
    velkan.trace_to(trace)
    try:
        programmer.led_control(1)
    finally:
        velkan.trace_to(None)
    lines = trace.read_text().splitlines()
    assert len(lines) >= 2
    assert lines[0].startswith("> ") and lines[1].startswith("< ")
    assert all(len(line.split()) == 65 for line in lines)
    with pytest.raises(velkan.Error):
        velkan.trace_to(tmp_path / "missing" / "trace.txt")


def test_list_and_open_by_path(emulator):
    programmers = velkan.list_programmers()
    assert len(programmers) == 1
    info = programmers[0]
    assert (info.vendor_id, info.product_id) == (0x0755, 0x0102)
    with velkan.Programmer(info.path) as p:
        assert p.i2c_command(0xA0, KEY_CHECK) == b"\x90\x00"
    with pytest.raises(velkan.Error) as raised:
        velkan.Programmer(os.path.join(os.sep, "nonexistent", "hidraw99"))
    assert raised.value.errno == velkan.ERR_NO_READER
    assert raised.value.strerror == velkan.error_text(velkan.ERR_NO_READER)


def test_numbers_match_the_header():
    """Every VELKAN_ERR_* and capacity of velkan.h, with the same value."""
    with open(os.environ["VELKAN_HEADER"], encoding="utf-8") as header:
        defines = re.findall(r"#define VELKAN_(\w+) \(?(-?\d+)\)?", header.read())
    assert len(defines) > 20
    for name, value in defines:
        assert getattr(velkan, name) == int(value), name
