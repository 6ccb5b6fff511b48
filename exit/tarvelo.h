/*
 * tarvelo.h: the host's view of the TARVELO channel security exit.
 *
 * A queue manager loads the library (libtarvelo.so, tarvelo.dll), finds the
 * entry point by its exported name "TARVELO" and calls it at every point of a
 * channel instance's life that concerns security. This header holds the two
 * host records as far as the exit uses them, the codes exchanged through
 * them, and the entry point's prototype. Integers are 32-bit, in the
 * platform's byte order. The exit reads and writes no field other than the
 * ones named here; the reserved bytes belong to the host.
 */
#ifndef TARVELO_EXIT_TARVELO_H
#define TARVELO_EXIT_TARVELO_H

#include <stddef.h>
#include <stdint.h>

/* TARVELO_VERSION_MAJOR, _MINOR, _PATCH and TARVELO_VERSION_STRING: the
 * build makes this header and installs it beside this one. */
#include "tarvelo_version.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Calling convention of the entry point. 32-bit Windows hosts call exits
 * with the platform's standard convention, __stdcall: the exit removes its
 * 28 bytes of arguments from the stack before returning. A library built
 * with TARVELO_USE_CDECL (CMake option TARVELO_WIN32_CDECL) uses __cdecl
 * instead, and the caller removes them; a host must be compiled with the
 * same choice. Either way tarvelo.dll exports the undecorated name
 * "TARVELO". Everywhere else there is only the C convention.
 */
#if defined(_WIN32) && !defined(_WIN64) && !defined(TARVELO_USE_CDECL)
#define TARVELO_CALL __stdcall
#elif defined(_WIN32) && !defined(_WIN64)
#define TARVELO_CALL __cdecl
#else
#define TARVELO_CALL
#endif

/* Exit reasons: why the host calls (exit parameter block, byte 12). */
enum {
    ZTXR_INIT = 11,    /* channel instance starts */
    ZTXR_TERM = 12,    /* channel instance ends */
    ZTXR_SEC_MSG = 15, /* a partner's security message is in the exchange buffer */
    ZTXR_INIT_SEC = 16 /* the host invites the exit to open the exchange */
};

/* Exit responses: what the host does next (byte 16). */
enum {
    ZTXCC_OK = 0,            /* go on; nothing to send */
    ZTXCC_SEND_SEC_MSG = -3, /* send a security message */
    ZTXCC_CLOSE_CHANNEL = -6 /* close the channel */
};

/* Secondary response flag (byte 20). */
enum {
    ZTXR2_USE_EXIT_BUFFER = 4 /* the message to send is in the exit buffer */
};

/* Handshake states, kept in the first byte of the user area (byte 32). */
enum {
    ZAVCONN_STARTUP = 1, /* waiting for the partner's challenge */
    ZAVCONN_VERIFY = 2,  /* waiting for the partner's response to ours */
    ZAVCONN_SIGNON = 3   /* waiting for the partner's verdict on our response */
};

/* Status codes the partner sends as a 1-byte security message. */
enum {
    ZAVSTAT_AUTHORISED = 6,
    ZAVSTAT_PASSWORD_VIOLATION = 7,
    ZAVSTAT_REVOKED = 8,
    ZAVSTAT_SENDER_NOT_STARTED = 9,
    ZAVSTAT_NOT_REGISTERED = 10
};

/* Sizes the host and the partner rely on. */
enum {
    TARVELO_EXIT_DATA_LENGTH = 32,
    TARVELO_USER_AREA_LENGTH = 16,
    TARVELO_CHANNEL_NAME_LENGTH = 20,
    TARVELO_PASSWORD_LENGTH = 12,
    TARVELO_EXIT_BUFFER_LENGTH = 64,  /* allocated at initialisation */
    TARVELO_SECURITY_TEXT_LENGTH = 32 /* challenge and response messages */
};

/* Exit parameter block: one per channel instance, owned by the host. */
typedef struct tarvelo_exit_params {
    char reserved0[12];
    int32_t exit_reason;    /* byte 12: read on every call */
    int32_t exit_response;  /* byte 16: 0 on entry, then maybe -3 or -6 */
    int32_t exit_response2; /* byte 20: 4 when the exit buffer is sent */
    char reserved1[8];
    uint8_t user_area[TARVELO_USER_AREA_LENGTH]; /* byte 32: [0] is the handshake state */
    char exit_data[TARVELO_EXIT_DATA_LENGTH];    /* byte 48: "LOGPATH TRACEON", blank padded */
} tarvelo_exit_params;

/* Channel definition: read only. Both text fields are blank padded. */
typedef struct tarvelo_channel_def {
    char channel_name[TARVELO_CHANNEL_NAME_LENGTH]; /* byte 0 */
    char reserved[976];
    char password[TARVELO_PASSWORD_LENGTH]; /* byte 996 */
} tarvelo_channel_def;

/*
 * The entry point. Parameters, in the host's order:
 *   params           exit parameter block, read and written
 *   channel          channel definition, read
 *   data_length      length of the security message in the exchange buffer;
 *                    set to 32 when the exit sends its own challenge
 *   exchange_length  length of the exchange buffer itself
 *   exchange         the security message received; the answer may be
 *                    written over it
 *   exit_length      set to 64 at initialisation, 32 when the exit sends its
 *                    challenge
 *   exit_buffer      address of the exit's own buffer: set at initialisation,
 *                    cleared at termination
 * Nothing is returned: every result travels through these parameters.
 */
typedef void(TARVELO_CALL tarvelo_entry_fn)(tarvelo_exit_params *params,
                                            const tarvelo_channel_def *channel,
                                            int32_t *data_length, int32_t *exchange_length,
                                            uint8_t *exchange, int32_t *exit_length,
                                            uint8_t **exit_buffer);

#ifdef TARVELO_BUILDING_LIBRARY
#if defined(_WIN32)
#define TARVELO_EXPORT __declspec(dllexport)
#else
#define TARVELO_EXPORT __attribute__((visibility("default")))
#endif
TARVELO_EXPORT tarvelo_entry_fn TARVELO;
#endif

#ifdef __cplusplus
} /* extern "C" */
#define TARVELO_STATIC_ASSERT static_assert
#else
#define TARVELO_STATIC_ASSERT _Static_assert
#endif

/* The host relies on these offsets; a layout change must not compile. */
TARVELO_STATIC_ASSERT(offsetof(tarvelo_exit_params, exit_reason) == 12, "exit reason at byte 12");
TARVELO_STATIC_ASSERT(offsetof(tarvelo_exit_params, exit_response) == 16,
                      "exit response at byte 16");
TARVELO_STATIC_ASSERT(offsetof(tarvelo_exit_params, exit_response2) == 20,
                      "secondary response at byte 20");
TARVELO_STATIC_ASSERT(offsetof(tarvelo_exit_params, user_area) == 32, "user area at byte 32");
TARVELO_STATIC_ASSERT(offsetof(tarvelo_exit_params, exit_data) == 48, "exit data at byte 48");
TARVELO_STATIC_ASSERT(sizeof(tarvelo_exit_params) == 80,
                      "parameter block ends after the exit data");
TARVELO_STATIC_ASSERT(offsetof(tarvelo_channel_def, channel_name) == 0, "channel name at byte 0");
TARVELO_STATIC_ASSERT(offsetof(tarvelo_channel_def, password) == 996, "password at byte 996");
TARVELO_STATIC_ASSERT(sizeof(tarvelo_channel_def) == 1008,
                      "channel definition ends after the password");

#endif /* TARVELO_EXIT_TARVELO_H */
