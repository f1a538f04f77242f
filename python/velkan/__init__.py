# SPDX-License-Identifier: Apache-2.0
"""The VELKAN programmer from Python, through the C library libvelkan.

    import velkan
    velkan.use_emulator()                 # leave out for the programmer on USB
    with velkan.Programmer() as p:
        print(p.firmware_version().text)
        p.i2c_command(0xA0, bytes.fromhex("07000000"), 2)   # -> b"\\x90\\x00"

Every operation of the programmer's command set is a method of Programmer
taking and returning bytes and ints. A failure raises velkan.Error, whose
errno is the library's result (a negative VELKAN error number, or the
operating system's error code for a failed report) and whose strerror is the
library's text for it.

The library is libvelkan.so.2 (velkan.dll on Windows) from the system's
library path, or the file named by the environment variable VELKAN_LIBRARY.
"""

import ctypes
import os
from collections import namedtuple

try:
    from ._version import __version__  # written by the build when installed
except ImportError:  # the source tree
    __version__ = "0+unknown"

__all__ = [
    "Error",
    "FirmwareVersion",
    "Programmer",
    "ProgrammerInfo",
    "error_text",
    "list_programmers",
    "trace_to",
    "use_emulator",
]

# Error numbers of velkan.h.
ERR_STATUS_CHECK = -14
ERR_STATUS_3 = -9
ERR_STATUS_4 = -13
ERR_STATUS_5_6 = -8
ERR_STATUS_8 = -20
ERR_STATUS_9 = -21
ERR_STATUS_10 = -22
ERR_STATUS_11 = -24
ERR_STATUS_12 = -25
ERR_STATUS_FE = -11
ERR_STATUS_OTHER = -30
ERR_NO_READER = -2
ERR_CLOSE = -4
ERR_BAD_ATR = -5
ERR_REPLY_TOO_LONG = -31
ERR_EMPTY_REPORT = -32
ERR_BAD_VERSION = -33
ERR_BAD_ARGUMENT = -34
ERR_BAD_HANDLE = -35
ERR_BUSY = -36

# Capacities of the buffers the library writes to.
ATR_MAX = 33
APDU_RESPONSE_MAX = 258
REPLY_AREA = 280
VERSION_TEXT_MAX = 276
OFFLINE_NAME_MAX = 280

_PATH_MAX = 256

ProgrammerInfo = namedtuple(
    "ProgrammerInfo", "path vendor_id product_id serial port product"
)
ProgrammerInfo.__doc__ = """An attached programmer: its device path (for
Programmer(path)), USB vendor and product ID, and the USB serial number,
port path and product string ("" when unknown)."""

FirmwareVersion = namedtuple("FirmwareVersion", "text value")
FirmwareVersion.__doc__ = """The programmer's firmware version: its text
(bytes, as the programmer sends it) and its number."""


class Error(OSError):
    """A failed operation: errno is the library's result, strerror its text."""

    def __init__(self, errno, strerror, operation=None):
        super().__init__(errno, strerror)
        self.operation = operation

    def __str__(self):
        where = self.operation + ": " if self.operation else ""
        return "%s%s (error %d)" % (where, self.strerror, self.errno)


class _ListEntry(ctypes.Structure):
    _fields_ = [
        ("path", ctypes.c_char * _PATH_MAX),
        ("vendorId", ctypes.c_ushort),
        ("productId", ctypes.c_ushort),
        ("serial", ctypes.c_char * 128),
        ("port", ctypes.c_char * 128),
        ("product", ctypes.c_char * 128),
    ]


_c_int_p = ctypes.POINTER(ctypes.c_int)
_c_uint_p = ctypes.POINTER(ctypes.c_uint)
_c_ulong_p = ctypes.POINTER(ctypes.c_ulong)
_c_ubyte_p = ctypes.POINTER(ctypes.c_ubyte)
_c_int = ctypes.c_int
_c_ubyte = ctypes.c_ubyte

# name: (result, argument types)
_SIGNATURES = {
    "DllOpenReader": (_c_int, []),
    "DllCloseReader": (_c_int, [_c_int]),
    "DllReset7816Card": (_c_int, [_c_int, _c_ubyte_p, _c_int_p]),
    "Dll7816CardPowerdown": (_c_int, [_c_int]),
    "Dll7816CardAPDU": (_c_int, [_c_int, _c_ubyte_p, _c_int, _c_int, _c_ubyte_p, _c_int_p]),
    "DllI2cGetStatus": (_c_int, [_c_int, _c_ubyte_p]),
    "DllGet7816CardState": (_c_int, [_c_int, _c_ubyte_p]),
    "DllGetFirmwareVersion": (_c_int, [_c_int, ctypes.c_char_p, _c_uint_p, _c_uint_p]),
    "DllDownloadFirmwareStart": (_c_int, [_c_int]),
    "DllDownloadFirmware": (_c_int, [_c_int, _c_ubyte_p, _c_int]),
    "DllDownloadFirmwareComplete": (_c_int, [_c_int, _c_ubyte_p, _c_int]),
    "DllI2cWrite": (_c_int, [_c_int, _c_ubyte, _c_ubyte_p, ctypes.c_ulong]),
    "DllI2cRead": (_c_int, [_c_int, _c_ubyte, _c_ubyte_p, _c_ulong_p]),
    "DllI2cCommand": (
        _c_int,
        [_c_int, _c_ubyte, _c_ubyte_p, ctypes.c_ulong, _c_ubyte_p, _c_ulong_p],
    ),
    "DllI2cRePower": (_c_int, [_c_int]),
    "DllLedControl": (_c_int, [_c_int, _c_ubyte]),
    "DllSpeakerControl": (_c_int, [_c_int, _c_ubyte]),
    "DllGetOfflineFileName": (_c_int, [_c_int, ctypes.c_char_p, _c_uint_p]),
    "DllSetOfflineFileName": (_c_int, [_c_int, ctypes.c_char_p, ctypes.c_uint]),
    "DllEraseOfflineData": (_c_int, [_c_int]),
    "DllWriteOfflineData": (
        _c_int,
        [_c_int, ctypes.c_ushort, _c_ubyte, _c_ubyte_p, _c_ubyte],
    ),
    "DllWaveToBoot": (_c_int, [_c_int]),
    "VelkanUseEmulator": (_c_int, [ctypes.c_char_p]),
    "VelkanTraceTo": (_c_int, [ctypes.c_char_p]),
    "VelkanListProgrammers": (_c_int, [ctypes.POINTER(_ListEntry), _c_int]),
    "VelkanOpenReaderPath": (_c_int, [ctypes.c_char_p]),
    "VelkanErrorText": (ctypes.c_char_p, [_c_int]),
}

_library = None


def _lib():
    """The C library, loaded and described on first use."""
    global _library
    if _library is None:
        name = os.environ.get("VELKAN_LIBRARY") or (
            "velkan.dll" if os.name == "nt" else "libvelkan.so.2"
        )
        library = ctypes.CDLL(name)
        for function, (result, arguments) in _SIGNATURES.items():
            entry = getattr(library, function)
            entry.restype = result
            entry.argtypes = arguments
        _library = library
    return _library


def error_text(error):
    """The library's short English text for a result or error number."""
    return _lib().VelkanErrorText(error).decode("utf-8", "replace")


def _fail(error, operation):
    raise Error(error, error_text(error), operation)


def _check(result, operation):
    if result != 0:
        _fail(result, operation)


def _byte(value, what):
    value = int(value)
    if not 0 <= value <= 0xFF:
        raise ValueError("%s must be a byte (0 to 255), not %d" % (what, value))
    return value


def _in_buffer(data):
    """bytes-like `data` as a C byte array (never of length 0) and its length."""
    data = bytes(data)
    buffer = (ctypes.c_ubyte * max(len(data), 1)).from_buffer_copy(data.ljust(1, b"\0"))
    return buffer, len(data)


def _path_argument(path):
    return None if path is None else os.fsencode(path)


def use_emulator(dir=None):
    """Switches this process to the emulated programmer (programmer, offline
    storage and chip). With `dir` its state is kept there (flash.bin,
    state.json) across processes; without, in memory. Programmers already
    open stay with the programmer they were opened on."""
    if _lib().VelkanUseEmulator(_path_argument(dir)) != 0:
        raise Error(
            ERR_BAD_ARGUMENT,
            "the emulator state folder cannot be used: %s" % os.fsdecode(dir),
            "use_emulator",
        )


def trace_to(path=None):
    """Appends every 64-byte report exchanged to the file `path` ("> " sent,
    "< " received, 64 hex pairs a line); None stops tracing."""
    if _lib().VelkanTraceTo(_path_argument(path)) != 0:
        raise Error(
            ERR_BAD_ARGUMENT,
            "the trace file cannot be opened: %s" % os.fsdecode(path),
            "trace_to",
        )


def list_programmers():
    """The attached programmers (or the emulated one), as ProgrammerInfo."""
    lib = _lib()
    capacity = 8
    while True:
        entries = (_ListEntry * capacity)()
        count = lib.VelkanListProgrammers(entries, capacity)
        if count < 0:
            _fail(count, "list_programmers")
        if count <= capacity:
            break
        capacity = count

    def text(raw):
        return raw.decode("utf-8", "replace")

    return [
        ProgrammerInfo(
            os.fsdecode(e.path), e.vendorId, e.productId, text(e.serial), text(e.port), text(e.product)
        )
        for e in entries[:count]
    ]


class Programmer:
    """An open programmer: the first one found, or the one at `path` (a path
    from list_programmers()). Close it with close(), or use it as a context
    manager. Operations block until the programmer has answered."""

    def __init__(self, path=None):
        lib = _lib()
        if path is None:
            handle = lib.DllOpenReader()
        else:
            handle = lib.VelkanOpenReaderPath(os.fsencode(path))
        if handle <= 0:
            _fail(handle if handle < 0 else ERR_NO_READER, "open")
        self._handle = handle

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        state = "handle %d" % self._handle if self._handle else "closed"
        return "<velkan.Programmer %s>" % state

    @property
    def handle(self):
        """The library's reader handle; None once closed."""
        return self._handle

    @property
    def closed(self):
        return self._handle is None

    def close(self):
        """Closes the programmer; closing again does nothing."""
        if self._handle is not None:
            handle, self._handle = self._handle, None
            _check(_lib().DllCloseReader(handle), "close")

    def _open_handle(self, operation):
        # A closed handle's number may already belong to another programmer.
        if self._handle is None:
            _fail(ERR_BAD_HANDLE, operation)
        return self._handle

    def _call(self, operation, function, *arguments):
        handle = self._open_handle(operation)
        _check(getattr(_lib(), function)(handle, *arguments), operation)

    # ---- Contact card (ISO 7816) ----

    def card_reset(self):
        """Resets the contact card; returns its answer-to-reset."""
        atr = (ctypes.c_ubyte * ATR_MAX)()
        length = ctypes.c_int(0)
        self._call("card_reset", "DllReset7816Card", atr, ctypes.byref(length))
        return bytes(atr[: max(0, min(length.value, ATR_MAX))])

    def card_powerdown(self):
        """Powers the contact card down."""
        self._call("card_powerdown", "Dll7816CardPowerdown")

    def card_apdu(self, apdu):
        """Sends an APDU to the contact card; returns the response with SW1 SW2."""
        request, count = _in_buffer(apdu)
        response = (ctypes.c_ubyte * APDU_RESPONSE_MAX)()
        length = ctypes.c_int(0)
        self._call("card_apdu", "Dll7816CardAPDU", request, count, 0, response, ctypes.byref(length))
        return bytes(response[: max(0, min(length.value, APDU_RESPONSE_MAX))])

    def card_state(self):
        """The card state bit (0 or 1)."""
        state = ctypes.c_ubyte(0)
        self._call("card_state", "DllGet7816CardState", ctypes.byref(state))
        return state.value

    # ---- Programmer ----

    def firmware_version(self):
        """The firmware version: FirmwareVersion(text bytes, value int)."""
        text = ctypes.create_string_buffer(VERSION_TEXT_MAX)
        length = ctypes.c_uint(0)
        value = ctypes.c_uint(0)
        self._call(
            "firmware_version", "DllGetFirmwareVersion", text, ctypes.byref(length), ctypes.byref(value)
        )
        return FirmwareVersion(text.raw[: min(length.value, VERSION_TEXT_MAX)], value.value)

    def download_firmware_start(self):
        """Starts a firmware update; the next download_firmware sends the header."""
        self._call("download_firmware_start", "DllDownloadFirmwareStart")

    def download_firmware(self, data):
        """Sends firmware bytes (the first call: at least the 8-byte header)."""
        buffer, count = _in_buffer(data)
        self._call("download_firmware", "DllDownloadFirmware", buffer, count)

    def download_firmware_complete(self, data=b""):
        """Ends a firmware update with up to 280 bytes of closing data."""
        buffer, count = _in_buffer(data)
        self._call("download_firmware_complete", "DllDownloadFirmwareComplete", buffer, count)

    def led_control(self, value):
        """Sets the programmer's LED."""
        self._call("led_control", "DllLedControl", _byte(value, "value"))

    def speaker_control(self, value):
        """Sounds the programmer's speaker."""
        self._call("speaker_control", "DllSpeakerControl", _byte(value, "value"))

    # ---- Security chip on I2C ----

    def i2c_get_status(self):
        """The chip state bit (0 or 1)."""
        state = ctypes.c_ubyte(0)
        self._call("i2c_get_status", "DllI2cGetStatus", ctypes.byref(state))
        return state.value

    def i2c_write(self, address, data):
        """Writes `data` (at most 277 bytes) to the chip at `address`."""
        buffer, count = _in_buffer(data)
        self._call("i2c_write", "DllI2cWrite", _byte(address, "address"), buffer, count)

    def i2c_read(self, address, length):
        """Reads `length` bytes from the chip at `address`; returns what came."""
        length = int(length)
        if length < 0:
            raise ValueError("length must not be negative")
        buffer = (ctypes.c_ubyte * max(length, 1))()
        delivered = ctypes.c_ulong(length)
        self._call(
            "i2c_read", "DllI2cRead", _byte(address, "address"), buffer, ctypes.byref(delivered)
        )
        return bytes(buffer[: min(delivered.value, length)])

    def i2c_command(self, address, command, length=2):
        """Writes `command`, waits as the command needs and reads a response of
        up to `length` bytes; a response not starting with 0x90 is cut to its
        status word."""
        length = int(length)
        if length < 0:
            raise ValueError("length must not be negative")
        request, count = _in_buffer(command)
        response = (ctypes.c_ubyte * max(length, 1))()
        delivered = ctypes.c_ulong(length)
        self._call(
            "i2c_command",
            "DllI2cCommand",
            _byte(address, "address"),
            request,
            count,
            response,
            ctypes.byref(delivered),
        )
        return bytes(response[: min(delivered.value, length)])

    def i2c_re_power(self):
        """Switches the chip's power off and on again."""
        self._call("i2c_re_power", "DllI2cRePower")

    def wave_to_boot(self):
        """Sends the chip to its boot loader."""
        self._call("wave_to_boot", "DllWaveToBoot")

    # ---- Offline storage ----

    def offline_file_name(self):
        """The file name stored with the offline script (bytes)."""
        name = ctypes.create_string_buffer(OFFLINE_NAME_MAX)
        length = ctypes.c_uint(0)
        self._call("offline_file_name", "DllGetOfflineFileName", name, ctypes.byref(length))
        return name.raw[: min(length.value, OFFLINE_NAME_MAX)]

    def set_offline_file_name(self, name):
        """Stores the offline script's file name (bytes, at most 261)."""
        name = bytes(name)
        self._call("set_offline_file_name", "DllSetOfflineFileName", name, len(name))

    def erase_offline_data(self):
        """Erases the offline storage."""
        self._call("erase_offline_data", "DllEraseOfflineData")

    def write_offline_data(self, number, kind, content):
        """Writes offline record `number` of `kind` with `content` (at most 255 bytes)."""
        number = int(number)
        if not 0 <= number <= 0xFFFF:
            raise ValueError("number must be 0 to 65535, not %d" % number)
        buffer, count = _in_buffer(content)
        if count > 0xFF:
            raise ValueError("an offline record holds at most 255 bytes, not %d" % count)
        self._call(
            "write_offline_data", "DllWriteOfflineData", number, _byte(kind, "kind"), buffer, count
        )
