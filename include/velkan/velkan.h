/* SPDX-License-Identifier: Apache-2.0 */
/*
 * velkan.h - the VELKAN programmer's command set as a C library.
 *
 * Every function takes the reader handle returned by DllOpenReader first
 * (except DllOpenReader itself). Results:
 *   0                  success
 *   positive           the operating system's error code of a failed report
 *                      write or read (errno on Linux, GetLastError() on
 *                      Windows; a read that times out gives ETIMEDOUT /
 *                      ERROR_TIMEOUT)
 *   negative           one of the VELKAN_ERR_* numbers below
 * SKSendData and SKRevData return 1 for success and 0 for failure instead.
 *
 * The library keeps one last-error value for the process: every exchange
 * sets it to 0 when it starts and to the reason when it fails.
 *
 * Functions block the calling thread until the exchange is complete. Two
 * exchanges must not run at the same time on the same handle; different
 * handles (different programmers) may be used from different threads.
 *
 * Exclusive use: each request/reply exchange holds the programmer for its
 * handle alone (on Linux flock() on the open hidraw node, on Windows a named
 * semaphore of the device path), so exchanges of other processes, or of
 * other handles on the same programmer, wait until it is done instead of
 * interleaving with it; DllI2cCommand and DllDownloadFirmware hold it for
 * their whole sequence, SKSendData until the following SKRevData. Input that
 * is still waiting when a request goes out (the rest of a reply that was
 * refused) is thrown away first, so every reply answers its own request.
 */
#ifndef VELKAN_VELKAN_H
#define VELKAN_VELKAN_H

#if defined(_WIN32)
#if defined(VELKAN_BUILDING_LIBRARY)
#define VELKAN_API __declspec(dllexport)
#else
#define VELKAN_API
#endif
#else
#define VELKAN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Error numbers ------------------------------------------------------ */

/* clang-format off */

/* Reply status bytes, as the programmer reports them. */
#define VELKAN_ERR_STATUS_CHECK (-14)   /* status 1, or a reply check byte mismatch */
#define VELKAN_ERR_STATUS_3 (-9)        /* status 3 */
#define VELKAN_ERR_STATUS_4 (-13)       /* status 4 */
#define VELKAN_ERR_STATUS_5_6 (-8)      /* status 5 and 6 */
#define VELKAN_ERR_STATUS_8 (-20)       /* status 8 */
#define VELKAN_ERR_STATUS_9 (-21)       /* status 9 */
#define VELKAN_ERR_STATUS_10 (-22)      /* status 10 */
#define VELKAN_ERR_STATUS_11 (-24)      /* status 11 */
#define VELKAN_ERR_STATUS_12 (-25)      /* status 12 */
#define VELKAN_ERR_STATUS_FE (-11)      /* status 0xFE */
#define VELKAN_ERR_STATUS_OTHER (-30)   /* status 2, 7, 13 to 253, 255 */

/* Returned only, never stored in the last-error value. */
#define VELKAN_ERR_NO_READER (-2)       /* DllOpenReader: no programmer found */
#define VELKAN_ERR_CLOSE (-4)           /* DllCloseReader: not an open handle, or close failed */
#define VELKAN_ERR_BAD_ATR (-5)         /* DllReset7816Card: unacceptable answer-to-reset */

/* This library's own numbers, for replies and arguments it refuses rather
 * than copy or send. They are also stored in the last-error value. */
#define VELKAN_ERR_REPLY_TOO_LONG (-31) /* reply longer than the frame buffer (594 data bytes),
                                           the operation's 280-byte reply area or the
                                           caller's buffer; nothing is copied */
#define VELKAN_ERR_EMPTY_REPORT (-32)   /* an input report carried no frame bytes */
#define VELKAN_ERR_BAD_VERSION (-33)    /* firmware version structure length below 4 or
                                           beyond the reply */
#define VELKAN_ERR_BAD_ARGUMENT (-34)   /* null pointer or request data beyond the operation's
                                           limit; nothing is sent */
#define VELKAN_ERR_BAD_HANDLE (-35)     /* not an open reader handle; nothing is sent */
#define VELKAN_ERR_BUSY (-36)           /* the programmer is held by another program for an
                                           activity (used by this package's tools; see the
                                           note on exclusive use below) */

/* Capacities the library assumes for caller buffers it writes to. */
#define VELKAN_ATR_MAX 33               /* DllReset7816Card answer-to-reset */
#define VELKAN_APDU_RESPONSE_MAX 258    /* Dll7816CardAPDU response: 256 data bytes + SW1 SW2 */
#define VELKAN_REPLY_AREA 280           /* replies of the other operations */
#define VELKAN_VERSION_TEXT_MAX 276     /* DllGetFirmwareVersion text */
#define VELKAN_OFFLINE_NAME_MAX 280     /* DllGetOfflineFileName name */

/* clang-format on */

/* ---- Programmer link ---------------------------------------------------- */

/* Opens the first programmer (USB 0755:0102) in the system's enumeration
 * order. Returns a handle (a small positive number) or -2. */
VELKAN_API int DllOpenReader(void);
/* Closes a handle: 0, or -4 when it was not open or closing failed. */
VELKAN_API int DllCloseReader(int reader);
/* Sends one request frame; type 1 -> frame type 2, 2 and 16 -> 3, 3 -> 1,
 * anything else -> 0. At most 595 data bytes. 1 on success, else 0. */
VELKAN_API int SKSendData(int reader, int type, unsigned char command, unsigned char* data, int n);
/* Receives one reply frame; type and command are not used. `data` must hold
 * 594 bytes. 1 on success (status 0, check byte right), else 0. */
VELKAN_API int SKRevData(int reader, int type, unsigned char command, unsigned char* data, int* n);

/* ---- Contact card (ISO 7816) -------------------------------------------- */

/* Answer-to-reset of 2 to 33 bytes starting 3B or 3F, else -5. `atr` must
 * hold VELKAN_ATR_MAX bytes. */
VELKAN_API int DllReset7816Card(int reader, unsigned char* atr, int* atrLength);
VELKAN_API int Dll7816CardPowerdown(int reader);
/* At most 595 APDU bytes; `response` must hold VELKAN_APDU_RESPONSE_MAX
 * bytes (a longer reply is refused with VELKAN_ERR_REPLY_TOO_LONG). */
VELKAN_API int Dll7816CardAPDU(int reader, unsigned char* apdu, int apduLength, int unused,
                               unsigned char* response, int* responseLength);
/* State bit (bit 0 of the first reply byte; 0 for an empty reply). */
VELKAN_API int DllI2cGetStatus(int reader, unsigned char* state);
VELKAN_API int DllGet7816CardState(int reader, unsigned char* state);

/* ---- Programmer ----------------------------------------------------------- */

/* `version` must hold VELKAN_VERSION_TEXT_MAX bytes; no terminator added. */
VELKAN_API int DllGetFirmwareVersion(int reader, char* version, unsigned int* versionLength,
                                     unsigned int* value);
VELKAN_API int DllDownloadFirmwareStart(int reader);
/* The first call after DllDownloadFirmwareStart (and the first after the
 * library is loaded) sends the first 8 bytes as the header block and must
 * pass at least 8; fewer are refused with VELKAN_ERR_BAD_ARGUMENT. The rest
 * goes out in blocks of 256 bytes. */
VELKAN_API int DllDownloadFirmware(int reader, unsigned char* data, int count);
/* At most 280 bytes of closing data. */
VELKAN_API int DllDownloadFirmwareComplete(int reader, unsigned char* data, int length);
VELKAN_API int DllLedControl(int reader, unsigned char value);
VELKAN_API int DllSpeakerControl(int reader, unsigned char value);

/* ---- Security chip on I2C ----------------------------------------------- */

/* At most 277 data bytes. The address goes out with bit 0 cleared. */
VELKAN_API int DllI2cWrite(int reader, unsigned char address, unsigned char* data,
                           unsigned long length);
/* *length on entry: bytes requested (low 16 bits are sent) and the capacity
 * of `data`; a longer reply is refused with VELKAN_ERR_REPLY_TOO_LONG. On
 * success *length = bytes delivered. The address goes out with bit 0 set. */
VELKAN_API int DllI2cRead(int reader, unsigned char address, unsigned char* data,
                          unsigned long* length);
/* Write, wait (550 ms after command 0x07, 600 ms after 0x40), read
 * *responseLength bytes. *responseLength on entry is also the capacity of
 * `response`, as for DllI2cRead. A response not starting with 0x90 reports
 * length 2 (or less, when fewer bytes were delivered). */
VELKAN_API int DllI2cCommand(int reader, unsigned char address, unsigned char* command,
                             unsigned long count, unsigned char* response,
                             unsigned long* responseLength);
VELKAN_API int DllI2cRePower(int reader);
VELKAN_API int DllWaveToBoot(int reader);

/* ---- Offline storage ------------------------------------------------------ */

/* `name` must hold VELKAN_OFFLINE_NAME_MAX bytes; no terminator added. */
VELKAN_API int DllGetOfflineFileName(int reader, char* name, unsigned int* nameLength);
/* At most 261 name bytes. */
VELKAN_API int DllSetOfflineFileName(int reader, char* name, unsigned int nameLength);
VELKAN_API int DllEraseOfflineData(int reader);
VELKAN_API int DllWriteOfflineData(int reader, unsigned short number, unsigned char kind,
                                   unsigned char* content, unsigned char length);

/* ---- This library's additions --------------------------------------------- */

/* Switches this process to the emulated programmer. `stateDir` keeps its
 * state (flash.bin, state.json) across processes; NULL keeps it in memory.
 * Open handles stay with the backend they were opened on. 0 on success,
 * -1 when the folder cannot be used. */
VELKAN_API int VelkanUseEmulator(const char* stateDir);
/* One programmer as VelkanListProgrammers describes it. Texts are UTF-8,
 * zero-terminated, cut to fit; empty where the system does not tell them. */
typedef struct VelkanProgrammerInfo {
  char path[256];           /* device path, for VelkanOpenReaderPath */
  unsigned short vendorId;  /* 0x0755 */
  unsigned short productId; /* 0x0102 */
  char serial[128];         /* USB serial number */
  char port[128];           /* where it is plugged in (USB port path) */
  char product[128];        /* product string */
} VelkanProgrammerInfo;

/* Lists the programmers (USB 0755:0102) in the order DllOpenReader searches
 * them: fills at most `capacity` entries of `list` (NULL: none) and returns
 * how many programmers there are, which may exceed `capacity`. */
VELKAN_API int VelkanListProgrammers(VelkanProgrammerInfo* list, int capacity);
/* Opens the programmer at `path` (a path from VelkanListProgrammers): a
 * reader handle as from DllOpenReader, or -2. */
VELKAN_API int VelkanOpenReaderPath(const char* path);
/* A short English text for a result: an error number of this header, or a
 * positive operating-system error code. Never NULL; the text stays valid
 * until the next call on the same thread. */
VELKAN_API const char* VelkanErrorText(int error);

/* Appends a trace of every report to `path` (one line per report: "> " out,
 * "< " in, 64 upper-case hex pairs). NULL stops tracing. 0 on success, -1
 * when the file cannot be opened. A line that cannot be written (a full
 * disk) stops the trace there; the next call, which ends that trace, then
 * returns -2 (the trace is incomplete) after doing what it was asked, so
 * VelkanTraceTo(NULL) at the end tells whether the whole trace was kept. */
VELKAN_API int VelkanTraceTo(const char* path);

#ifdef __cplusplus
}
#endif

#endif /* VELKAN_VELKAN_H */
