/* buslink: field-bus protocol drivers behind flat C functions.
 *
 * Every function here is exported from libbuslink.so. Records are either
 * opaque (created by a _new/_open function, released by its _delete/_free) or
 * plain structs whose fields callers read directly. Status codes are integers,
 * 0 for success; each family has its own text function. Message texts that the
 * library returns are static unless a function says otherwise. */
#ifndef BUSLINK_H
#define BUSLINK_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BUSLINK_API __attribute__((visibility("default")))

/* ======================================================================
 * Debug level: one process-wide value, 1 until set. The drivers do not
 * consult it; each driver object has its own verbosity.
 * ====================================================================== */

BUSLINK_API int buslink_set_debug_level(int level); /* returns level */
BUSLINK_API int buslink_get_debug_level(void);

/* ======================================================================
 * Library core
 * ====================================================================== */

/* ---- common status codes (MODBUS family and the serial helpers) ------ */
enum {
    BUSLINK_SUCCESS = 0,
    BUSLINK_SUCCESS_TRUE = 1,
    BUSLINK_SUCCESS_FALSE = 2,
    BUSLINK_E_UNIMPLEMENTED = 3,
    BUSLINK_E_UNDOCUMENTED = 4,
    BUSLINK_E_INVALID_TYPE = 5,

    BUSLINK_E_NO_RESPONSE = 100,
    BUSLINK_E_SHORT_RESPONSE = 101,
    BUSLINK_E_CHECKSUM = 102,
    BUSLINK_E_NOT_DELIVERED = 103,
    BUSLINK_E_READ = 104,
    BUSLINK_E_WRITE = 105,
    BUSLINK_E_TIMEOUT = 106,
    BUSLINK_E_NO_CONNECTION = 107,
    BUSLINK_E_QUANTITY = 108,
    BUSLINK_E_ITEM_NOT_IN_QUERY = 109,
    BUSLINK_E_NO_DATA = 110,
    BUSLINK_E_INVALID_RESPONSE = 111,

    BUSLINK_E_UNEXPECTED_RESPONSE = 200,
    BUSLINK_E_UNEXPECTED_DATA = 201,
    BUSLINK_E_UNEXPECTED_NODE = 202,
    BUSLINK_E_ILLEGAL_ITEM = 203,
    BUSLINK_E_READ_ONLY = 204,
    BUSLINK_E_NOT_FLUSHED = 205,
    BUSLINK_E_INVALID_PORT = 206,
    BUSLINK_E_UNEXPECTED_TID = 207,
    BUSLINK_E_NON_MODBUS_FRAME = 208,

    /* MODBUS exception responses: 221..229 stand for exception codes
     * 1, 2, 3, 4, 5, 6, 8, 10, 11; 220 for any other code. */
    BUSLINK_E_EXCEPTION = 220,
    BUSLINK_E_EX_ILLEGAL_FUNCTION = 221,
    BUSLINK_E_EX_ILLEGAL_ADDRESS = 222,
    BUSLINK_E_EX_ILLEGAL_VALUE = 223,
    BUSLINK_E_EX_SLAVE_FAILURE = 224,
    BUSLINK_E_EX_ACKNOWLEDGE = 225,
    BUSLINK_E_EX_SLAVE_BUSY = 226,
    BUSLINK_E_EX_MEMORY_PARITY = 227,
    BUSLINK_E_EX_GATEWAY_PATH = 228,
    BUSLINK_E_EX_GATEWAY_TARGET = 229,

    /* XBee transport */
    BUSLINK_E_MAX_PAYLOAD = 300,
    BUSLINK_E_INVALID_PARAMETER = 301,
    BUSLINK_E_BUFFER_OVERFLOW = 302,
    BUSLINK_E_MAX_PACKET_LENGTH = 303,
    BUSLINK_E_SHORT_BUFFER = 304,
    BUSLINK_E_INVALID_FRAME_TYPE = 305,
    BUSLINK_E_AT_ERROR = 306,
    BUSLINK_E_INVALID_COMMAND = 307,
    BUSLINK_E_TRANSMIT_FAILURE = 308
};

/* Text of a common status code. An unknown code writes one diagnostic line
 * to stderr and gives "Unknown error". */
BUSLINK_API const char *buslink_errmsg(int code);

/* ---- ARCNET status codes ---------------------------------------------- */
enum {
    ARCNET_SUCCESS = 0,
    ARCNET_E_INCOMPLETE_READ = 1,
    ARCNET_E_INCOMPLETE_WRITE = 2,
    ARCNET_E_DISCONNECTED = 3,
    ARCNET_E_TIMEOUT = 4,
    ARCNET_E_READ = 5,
    ARCNET_E_WRITE = 6,
    ARCNET_E_CONNECT = 10,
    ARCNET_E_ILLEGAL_NODE = 11,
    ARCNET_E_IOCTL = 12,
    ARCNET_E_UNEXPECTED_PACKET = 20,
    ARCNET_E_REQUEST_LIMIT = 100,
    ARCNET_E_SETPOINT_NOT_IN_REQUEST = 101,
    ARCNET_E_ILLEGAL_FORMAT = 102,
    ARCNET_E_UNKNOWN_SETPOINT = 103,
    ARCNET_E_SETPOINT_READ = 104,
    ARCNET_E_ILLEGAL_PACKET = 110,
    ARCNET_E_NOT_IMPLEMENTED = 254,
    ARCNET_E_NO_DESCRIPTION = 255
};

BUSLINK_API const char *arcnet_errmsg(int code);

/* ---- traffic dumps ------------------------------------------------------
 * Lines of 8 bytes: indent, an 8-column text view (0x20..0x7F as is, other
 * bytes as '.'), two spaces, then "%02X " per byte. Nothing for length < 1. */
BUSLINK_API void buslink_print_hexm(FILE *stream, const unsigned char *data, int length, int indent);

/* ---- value-type codes ---------------------------------------------------- */
enum {
    CL_TYPE_INVALID = 0,
    CL_TYPE_U8 = 1,
    CL_TYPE_I8 = 2,
    CL_TYPE_U16 = 3,
    CL_TYPE_I16 = 4,
    CL_TYPE_U32 = 5,
    CL_TYPE_I32 = 6,
    CL_TYPE_FLOAT = 7,
    CL_TYPE_DOUBLE = 8,
    CL_TYPE_BCD16 = 9,
    CL_TYPE_BCD32 = 10
};

BUSLINK_API const char *cl_type_to_string(int type);
BUSLINK_API int cl_get_type_size_bits(int type);
BUSLINK_API int cl_get_type_size_bytes(int type);
BUSLINK_API int cl_is_type_float(int type);
/* "u8".."i32", "f"/"f32", "f64", "bcd"/"bcd16", "bcd32"; first letter (and
 * "bcd") case-insensitive. Anything else, or null, gives fallback. */
BUSLINK_API int cl_string_to_type(const char *text, int fallback);
/* DirectNET flag letters: r float; h bcd (with d: bcd32); b u16 (with d:
 * u32); otherwise the text is parsed as a type name. */
BUSLINK_API int cl_dnet_flag_to_type(const char *flags, int fallback);

/* ---- packed BCD -------------------------------------------------------- */
BUSLINK_API unsigned short cl_binary_to_bcd16(unsigned short value);
BUSLINK_API unsigned short cl_bcd16_to_binary(unsigned short bcd);
BUSLINK_API unsigned int cl_binary_to_bcd32(unsigned int value);
BUSLINK_API unsigned int cl_bcd32_to_binary(unsigned int bcd);

/* ---- time of day ---------------------------------------------------------
 * Seconds and microseconds since 1970-01-01 00:00:00 UTC. */
typedef struct cl_timeval {
    int32_t tv_sec;
    int32_t tv_usec;
} cl_timeval_t;

/* Always returns 0; does nothing for a null record. */
BUSLINK_API int cl_gettimeofday(cl_timeval_t *tv);

/* ---- small wrappers ------------------------------------------------------ */
BUSLINK_API void buslink_sleep(unsigned int milliseconds);
/* Null when the open fails. */
BUSLINK_API FILE *buslink_fopen(const char *path, const char *mode);
/* Copies src with its terminator; returns dst. */
BUSLINK_API char *buslink_strcpy(char *dst, const char *src);
/* Appends src (with its terminator) at the end of dst; returns dst. There is
 * no bound, so as with strcat the caller sizes dst for both strings. */
BUSLINK_API char *buslink_strcat(char *dst, const char *src);
/* Heap copy to be released with free(); null for null. */
BUSLINK_API char *buslink_strdup(const char *s);

/* ======================================================================
 * Serial port
 * ====================================================================== */

#define CL_SERIAL_INVALID_HANDLE (-1)

enum { CL_DATABITS_7 = 0, CL_DATABITS_8 = 1 };
enum { CL_PARITY_EVEN = 0, CL_PARITY_ODD = 1, CL_PARITY_NONE = 2 };
enum { CL_STOPBITS_ONE = 0, CL_STOPBITS_TWO = 2 };

/* Read failure kinds kept in last_read_error. */
enum { CL_SERIAL_READ_ABORTED = 1, CL_SERIAL_READ_FAILED = 5 };

typedef struct cl_serial {
    int handle;            /* file descriptor; CL_SERIAL_INVALID_HANDLE when closed */
    char *name;            /* name given to cl_serial_open, heap copy; may be null */
    int32_t baudrate;      /* 1200, 2400, 4800, 9600, 19200 or 38400 */
    int databits;          /* CL_DATABITS_* */
    int parity;            /* CL_PARITY_* */
    int stopbits;          /* CL_STOPBITS_* */
    unsigned char lookahead; /* byte already taken from the port by a wait */
    int has_lookahead;
    int last_read_error;   /* CL_SERIAL_READ_*; meaningful after a failed read */
} cl_serial_t;

/* Opens and configures a port (raw 8-bit line, no flow control, exclusive).
 * A name containing '/' is a path, "COMn" is /dev/ttyS<n-1>, any other name
 * is looked up in /dev. Null on failure, with a message on stderr. */
BUSLINK_API cl_serial_t *cl_serial_open(const char *name, int baud, int parity, int stopbits, int databits);
BUSLINK_API int cl_serial_is_ok(const cl_serial_t *port);
/* Closes the port; the record stays allocated and reports not ok. */
BUSLINK_API void cl_serial_disconnect(cl_serial_t *port);
BUSLINK_API void cl_serial_free(cl_serial_t *port);

/* Port operations shared by the serial drivers. */

/* 1 when a byte is ready (kept as the look-ahead byte), 0 when timeout_ms ran
 * out (0 looks once without waiting), -1 when the read failed. */
BUSLINK_API int cl_serial_wait_for_data(cl_serial_t *port, int timeout_ms);
/* Returns at once with the look-ahead byte and whatever the port has
 * buffered, up to count bytes; -1 when the read failed. */
BUSLINK_API int cl_serial_read_available(cl_serial_t *port, void *buffer, int count);
/* Writes every byte; returns count, 0 for count < 1, -1 on failure. */
BUSLINK_API int cl_serial_write_all(cl_serial_t *port, const void *buffer, int count);
/* Waits for "OK\r": 0 when it came, BUSLINK_E_INVALID_RESPONSE for another
 * byte, BUSLINK_E_TIMEOUT when a wait ran out, BUSLINK_E_READ when a read
 * failed, BUSLINK_E_INVALID_PORT for a null port. */
BUSLINK_API int cl_serial_expect_ok(cl_serial_t *port, int timeout_ms);

/* ======================================================================
 * Traffic statistics
 * ====================================================================== */

enum { CL_PACKET_OUTGOING = 0, CL_PACKET_INCOMING = 1 };

typedef struct cl_packet {
    int direction;         /* CL_PACKET_* */
    unsigned char *data;   /* length + 1 bytes, the last one 0 */
    unsigned int length;
    struct cl_packet *next;
} cl_packet_t;

typedef struct cl_stats {
    uint32_t out_packets;
    uint32_t in_packets;
    uint32_t out_bytes;
    uint32_t in_bytes;
    int print;             /* dump every packet to stdout */
    int collect;           /* keep every packet in the list */
    cl_packet_t *packets;  /* in arrival order */
} cl_stats_t;

/* Every operation does nothing for a null record. cl_stats_init does not free
 * an existing list (the record may be uninitialised); finalize it first. */
BUSLINK_API void cl_stats_init(cl_stats_t *stats, int print);
BUSLINK_API void cl_stats_collect_packets(cl_stats_t *stats, int on);
/* Frees the packet list; the counters are kept. */
BUSLINK_API void cl_stats_clear_packets(cl_stats_t *stats);
BUSLINK_API void cl_stats_finalize(cl_stats_t *stats);
BUSLINK_API void cl_stats_register_outgoing(cl_stats_t *stats, unsigned length, const void *data);
BUSLINK_API void cl_stats_register_incoming(cl_stats_t *stats, unsigned length, const void *data);
/* One incoming packet read in two pieces (header, then body). */
BUSLINK_API void cl_stats_register_incoming_c2(cl_stats_t *stats, unsigned length1, const void *data1,
                                               unsigned length2, const void *data2);
BUSLINK_API void cl_stats_print(const cl_stats_t *stats, FILE *stream);
BUSLINK_API void cl_stats_packet_print(const cl_packet_t *packet);
/* Equality, not an ordering: 1 when the packet holds exactly these bytes. */
BUSLINK_API int cl_stats_packet_cmp(const cl_packet_t *packet, const void *data, unsigned length);

/* ======================================================================
 * MODBUS query engine
 *
 * A polling round: queue reads and writes, optionally optimise, flush, fetch
 * the results, reset. Every transport object (RTU, TCP, XBee) begins with the
 * query header, so a pointer to any of them is a modbus_base_t pointer (cast it,
 * or use modbus_xbee_get_base). Query records are pooled between rounds.
 * ====================================================================== */

typedef struct modbus modbus_base_t;
typedef struct modbus_query modbus_query_t;

enum { MODBUS_TRANSPORT_RTU = 1, MODBUS_TRANSPORT_TCP = 2, MODBUS_TRANSPORT_XBEE = 3 };

/* Item kinds: the MODBUS function code that reads the item. */
enum {
    MODBUS_COIL = 1,
    MODBUS_DISCRETE_INPUT = 2,
    MODBUS_HOLDING_REGISTER = 3,
    MODBUS_INPUT_REGISTER = 4
};

/* Room a caller gives the read_frame functions for one response message
 * (function code and data). */
#define MODBUS_MESSAGE_BUFFER_SIZE 300

/* Queueing. link and unit name the node: the unit is the slave or unit
 * identifier in every frame, the link chooses the radio of an XBee module
 * (a key only for the other transports). */
BUSLINK_API int modbus_query_read(modbus_base_t *m, uint32_t link, uint32_t unit, int kind, unsigned short address);
/* These return the query that covers the address (opaque), null only when
 * memory ran out. */
BUSLINK_API modbus_query_t *modbus_query_read_coil(modbus_base_t *m, uint32_t link, uint32_t unit,
                                                   unsigned short address);
BUSLINK_API modbus_query_t *modbus_query_read_discrete_input(modbus_base_t *m, uint32_t link, uint32_t unit,
                                                             unsigned short address);
BUSLINK_API modbus_query_t *modbus_query_read_holding_register(modbus_base_t *m, uint32_t link, uint32_t unit,
                                                               unsigned short address);
BUSLINK_API modbus_query_t *modbus_query_read_input_register(modbus_base_t *m, uint32_t link, uint32_t unit,
                                                             unsigned short address);
/* Kind 1: coil (on when value is non-zero); kind 3: register; kinds 2 and 4
 * queue a write that the flush answers with BUSLINK_E_READ_ONLY; other kinds
 * are ignored. Returns 0. */
BUSLINK_API int modbus_query_write(modbus_base_t *m, uint32_t link, uint32_t unit, int kind, unsigned short address,
                                   unsigned short value);
BUSLINK_API modbus_query_t *modbus_query_write_coil(modbus_base_t *m, uint32_t link, uint32_t unit,
                                                    unsigned short address, int on);
BUSLINK_API modbus_query_t *modbus_query_write_holding_register(modbus_base_t *m, uint32_t link, uint32_t unit,
                                                                unsigned short address, unsigned short value);

/* Sorts the read list by node, kind and address and joins adjacent
 * holding-register reads of one node up to 124 registers. */
BUSLINK_API void modbus_query_optimize(modbus_base_t *m);
/* Writes first, then reads, each list from its front. 0 when every query
 * succeeded, else the status of the last one that failed. stats may be null. */
BUSLINK_API int modbus_query_flush(modbus_base_t *m, cl_stats_t *stats);
/* modbus_query_flush with up to `window` requests outstanding at once on a
 * MODBUS TCP connection: answers are matched by transaction identifier, each
 * request has its own response time-out, and every query ends with the
 * status and data modbus_query_flush gives it. Writes are all answered
 * before the first read is sent. Other transports, and a window of 1 or
 * less, flush as modbus_query_flush does. A device that answers out of
 * order, leaves a request unanswered or closes the connection while several
 * were outstanding makes the TCP object fall back to one request at a time
 * (modbus_tcp_window_fallback); the requests it left unanswered are sent
 * again so, and a closed connection gives BUSLINK_E_NO_CONNECTION. */
BUSLINK_API int modbus_query_flush_window(modbus_base_t *m, cl_stats_t *stats, int window);

/* Results look in the read list first, then in the write list; 109 when no
 * query covers the address, 205 before the flush. Bits: 1 set, 2 clear. */
BUSLINK_API int modbus_result_coil(modbus_base_t *m, uint32_t link, uint32_t unit, unsigned short address);
BUSLINK_API int modbus_result_discrete_input(modbus_base_t *m, uint32_t link, uint32_t unit, unsigned short address);
BUSLINK_API int modbus_result_holding_register(modbus_base_t *m, uint32_t link, uint32_t unit, unsigned short address,
                                               unsigned short *value);
BUSLINK_API int modbus_result_input_register(modbus_base_t *m, uint32_t link, uint32_t unit, unsigned short address,
                                             unsigned short *value);
/* Every kind: bits come back as a value of 1 or 0 with result 0; 203 for an
 * unknown kind. */
BUSLINK_API int modbus_query_result(modbus_base_t *m, uint32_t link, uint32_t unit, int kind, unsigned short address,
                                    unsigned short *value);

/* Moves every query to the pool (records and buffers are reused). */
BUSLINK_API void modbus_query_reset(modbus_base_t *m);
/* Frees every query record: pool and both lists. The object stays. */
BUSLINK_API void modbus_queries_delete(modbus_base_t *m);
BUSLINK_API void modbus_query_print(modbus_base_t *m, FILE *stream);

/* "KxHHHH" (kind digit 1-4, hex address), "KDDDDD" (kind digit, five decimal
 * digits of which the last four are the address), or up to five decimal
 * digits of a holding-register address. 0 or BUSLINK_E_ILLEGAL_ITEM. */
BUSLINK_API int modbus_decode_address(const char *text, int *kind, unsigned short *address);

/* ======================================================================
 * MODBUS RTU transport: slave address, message, CRC-16 on a serial line.
 * ====================================================================== */

typedef struct modbus_rtu modbus_rtu_t;

/* No port; response time-out 800 ms. */
BUSLINK_API modbus_rtu_t *modbus_rtu_new(void);
/* Takes ownership of an open port (a port already connected is closed and
 * freed first). A port that is not open is not taken: BUSLINK_E_INVALID_PORT. */
BUSLINK_API int modbus_rtu_connect(modbus_rtu_t *rtu, cl_serial_t *port);
/* Closes and frees the port. */
BUSLINK_API void modbus_rtu_disconnect(modbus_rtu_t *rtu);
/* Frees the port, the queries and the object. */
BUSLINK_API void modbus_rtu_delete(modbus_rtu_t *rtu);
BUSLINK_API int modbus_rtu_get_response_timeout(const modbus_rtu_t *rtu);
BUSLINK_API void modbus_rtu_set_response_timeout(modbus_rtu_t *rtu, int milliseconds);
/* The one call that may come from another thread while the object is in
 * use: cuts the wait in flight, and every later send, wait or read fails at
 * once with BUSLINK_E_NO_CONNECTION (nothing more is written) until
 * modbus_rtu_clear_abort. The port stays open; its user closes it. */
BUSLINK_API void modbus_rtu_abort(modbus_rtu_t *rtu);
/* Undoes modbus_rtu_abort; call it from the object's own thread. */
BUSLINK_API void modbus_rtu_clear_abort(modbus_rtu_t *rtu);
/* 0 once the frame went to the line (a failed write shows as no response);
 * 107 without a port; 301 for a message that does not fit a frame. */
BUSLINK_API int modbus_rtu_send_frame(modbus_rtu_t *rtu, unsigned char slave, const void *message,
                                      unsigned length, cl_stats_t *stats);
/* Reads one response; on 0 the function code and data are in message (room
 * for MODBUS_MESSAGE_BUFFER_SIZE bytes) and their count in *length.
 * MODBUS exceptions come back as 220..229. */
BUSLINK_API int modbus_rtu_read_frame(modbus_rtu_t *rtu, unsigned char slave, void *message, unsigned *length,
                                      cl_stats_t *stats);

/* ======================================================================
 * MODBUS TCP transport: MBAP header over a basekit socket.
 * ====================================================================== */

typedef struct modbus_tcp modbus_tcp_t;

/* Not connected; transaction counter 0; response time-out 800 ms. */
BUSLINK_API modbus_tcp_t *modbus_tcp_new(void);
/* Closes an earlier connection, then connects (connect_timeout_ms bounds the
 * connect). 0, or BUSLINK_E_NO_CONNECTION. */
BUSLINK_API int modbus_tcp_connect(modbus_tcp_t *tcp, const char *host, int port, int connect_timeout_ms);
BUSLINK_API void modbus_tcp_disconnect(modbus_tcp_t *tcp);
BUSLINK_API int modbus_tcp_is_connected(const modbus_tcp_t *tcp);
BUSLINK_API void modbus_tcp_set_response_timeout(modbus_tcp_t *tcp, int milliseconds);
/* The one call that may come from another thread while the object is in
 * use: cuts the connect or exchange in flight, and every later one fails at
 * once with BUSLINK_E_NO_CONNECTION (nothing more is sent) until
 * modbus_tcp_clear_abort. The socket stays open; its user closes it. */
BUSLINK_API void modbus_tcp_abort(modbus_tcp_t *tcp);
/* Undoes modbus_tcp_abort; call it from the object's own thread. */
BUSLINK_API void modbus_tcp_clear_abort(modbus_tcp_t *tcp);
/* Why modbus_query_flush_window went down to one request at a time on this
 * object: 0 while it has not. Kept over reconnects until
 * modbus_tcp_reset_window. */
enum { MODBUS_WINDOW_OUT_OF_ORDER = 1, MODBUS_WINDOW_DROPPED = 2, MODBUS_WINDOW_CLOSED = 3 };
BUSLINK_API int modbus_tcp_window_fallback(const modbus_tcp_t *tcp);
BUSLINK_API void modbus_tcp_reset_window(modbus_tcp_t *tcp);
/* Advances the 16-bit counter (wrapping) and returns the new value. */
BUSLINK_API unsigned short modbus_tcp_next_transaction_id(modbus_tcp_t *tcp);
/* Closes the socket and frees the queries and the object. */
BUSLINK_API void modbus_tcp_delete(modbus_tcp_t *tcp);

/* ======================================================================
 * MODBUS over XBee: "MB" and the message in API frames (mode 2, escaped)
 * to the remote module whose 64-bit address is link (upper half) and unit
 * (lower half); with short addresses the unit's low 16 bits.
 * ====================================================================== */

typedef struct modbus_xbee modbus_xbee_t;

/* No port; response time-out 1000 ms. */
BUSLINK_API modbus_xbee_t *modbus_xbee_new(void);
/* Takes the port (freeing an earlier one), switches the module to API mode
 * 2, detects its series and writes PAN id, and for series 1 channel and own
 * 16-bit address. 0 or a status code; 107 for a null port. */
BUSLINK_API int modbus_xbee_setup(modbus_xbee_t *xbee, cl_serial_t *port, unsigned short pan_id,
                                  unsigned short own_address, unsigned short channel);
BUSLINK_API void modbus_xbee_disconnect(modbus_xbee_t *xbee);
BUSLINK_API void modbus_xbee_delete(modbus_xbee_t *xbee);
BUSLINK_API int modbus_xbee_is_connected(const modbus_xbee_t *xbee);
BUSLINK_API void modbus_xbee_use_short_addresses(modbus_xbee_t *xbee, int flag);
/* The module's series found by the last set-up: 10 or 11 (series 1; an
 * unknown module counts as 10), 20, 21 or 22 (series 2, which takes 64-bit
 * addresses only); 0 before a set-up got that far. */
BUSLINK_API int modbus_xbee_get_series(const modbus_xbee_t *xbee);
/* The one call that may come from another thread while the object is in
 * use: cuts the set-up or exchange in flight, and every later one fails at
 * once with BUSLINK_E_NO_CONNECTION (nothing more is written) until
 * modbus_xbee_clear_abort. The port stays open; its user closes it. */
BUSLINK_API void modbus_xbee_abort(modbus_xbee_t *xbee);
/* Undoes modbus_xbee_abort; call it from the object's own thread. */
BUSLINK_API void modbus_xbee_clear_abort(modbus_xbee_t *xbee);
BUSLINK_API modbus_base_t *modbus_xbee_get_base(modbus_xbee_t *xbee);
/* Sends the message and waits for the module's transmit status. */
BUSLINK_API int modbus_xbee_send_frame(modbus_xbee_t *xbee, uint32_t link, uint32_t unit, const void *message,
                                       unsigned length, cl_stats_t *stats);
/* Waits for the answer from that node; message has room for
 * MODBUS_MESSAGE_BUFFER_SIZE bytes. */
BUSLINK_API int modbus_xbee_read_frame(modbus_xbee_t *xbee, uint32_t link, uint32_t unit, void *message,
                                       unsigned *length);

/* ======================================================================
 * Remote-server client: a TCP link to another Plexord server, a login, a
 * copy of its device list, and setpoint reads and writes queued by device
 * name and exchanged in one flush. One thread per client.
 * ====================================================================== */

enum {
    PLEXOR_SUCCESS = 0,
    PLEXOR_E_NO_CONNECTION = 1,
    PLEXOR_E_WRITE = 2,
    PLEXOR_E_READ = 3,
    PLEXOR_E_NOT_ACKNOWLEDGED = 4,
    PLEXOR_E_INVALID_TYPE = 5,
    PLEXOR_E_UNEXPECTED_RESPONSE = 6,
    PLEXOR_E_ALREADY_CONNECTED = 7,
    PLEXOR_E_SOCKET = 8,
    PLEXOR_E_SERVER_NOT_FOUND = 9,
    PLEXOR_E_NO_RESPONSE = 10,
    PLEXOR_E_LOGIN = 11,
    PLEXOR_E_NOT_REQUESTED = 12,
    PLEXOR_E_NO_DEVICE = 13,
    PLEXOR_E_NOT_PROCESSED = 14,
    PLEXOR_E_FAILED = 15,
    PLEXOR_E_NO_ACCESS = 16,
    PLEXOR_E_CHALLENGE_DISABLED = 17,
    PLEXOR_E_CHALLENGE_NOT_FOUND = 18,
    PLEXOR_E_CHALLENGE_OPEN = 19
};

/* A buffer answer longer than this is refused (status 3, link dropped). */
#define PLEXOR_MAX_BUFFER_ANSWER (16u * 1024u * 1024u)

typedef struct plexor_client plexor_client_t;
typedef struct plexor_device plexor_device_t;

BUSLINK_API const char *plexor_error_string(int code);

/* Null when out of memory or descriptors. */
BUSLINK_API plexor_client_t *plexor_new(void);
/* Bounds each wait of a connect, send or receive (milliseconds; 0, the
 * default, waits as long as the socket does). A time-out fails the
 * operation with 3 (2 for a send, 10 for a connect) and drops the
 * connection, since the exchange cannot be resumed in step. */
BUSLINK_API void plexor_set_timeout(plexor_client_t *client, int milliseconds);
/* The one call allowed from another thread while the client works: the
 * wait in flight ends at once, the operation fails as on a time-out (the
 * connection is dropped), and so does every later one until
 * plexor_clear_abort. Never blocks. */
BUSLINK_API void plexor_abort(plexor_client_t *client);
BUSLINK_API void plexor_clear_abort(plexor_client_t *client);
/* Frees requests, devices and client information; closes the socket. */
BUSLINK_API void plexor_delete(plexor_client_t *client);
/* 0, 2, 3, 7 (connected, or a socket held since a failed attempt), 8, 9,
 * 10, 11. */
BUSLINK_API int plexor_connect(plexor_client_t *client, const char *host, int port, const char *user,
                               const char *password);
/* Login on 127.0.0.1 by answering with the content of the file the server
 * names: 0, 3, 7 to 11, 17 (switched off on the server), 18, 19. */
BUSLINK_API int plexor_connect_with_challenge(plexor_client_t *client, int port);
BUSLINK_API int plexor_disconnect(plexor_client_t *client);
BUSLINK_API int plexor_has_connection(const plexor_client_t *client);

BUSLINK_API void plexor_set_client_info(plexor_client_t *client, const char *text);
BUSLINK_API const char *plexor_get_client_info(const plexor_client_t *client);
BUSLINK_API int plexor_send_client_info(plexor_client_t *client, const char *text);

/* Replaces the local device list with the server's. */
BUSLINK_API int plexor_sync_devicelist(plexor_client_t *client);
BUSLINK_API int plexor_get_device_count(const plexor_client_t *client);
/* Sets *iterator to the first device and returns it (null when none). */
BUSLINK_API plexor_device_t *plexor_get_first_device(plexor_client_t *client, plexor_device_t **iterator);
/* Advances *iterator and returns the device it now names, or null. */
BUSLINK_API plexor_device_t *plexor_get_next_device(plexor_client_t *client, plexor_device_t **iterator);
BUSLINK_API plexor_device_t *plexor_get_nth_device(plexor_client_t *client, int index);

BUSLINK_API plexor_device_t *plexor_device_new(void);
/* Only for records from plexor_device_new; the client owns its own. */
BUSLINK_API void plexor_device_delete(plexor_device_t *device);
BUSLINK_API void plexor_device_set_id(plexor_device_t *device, unsigned short id);
BUSLINK_API unsigned short plexor_device_get_id(const plexor_device_t *device);
BUSLINK_API void plexor_device_set_name(plexor_device_t *device, const char *name);
BUSLINK_API const char *plexor_device_get_name(const plexor_device_t *device); /* "" for none */
BUSLINK_API void plexor_device_set_description(plexor_device_t *device, const char *text);
BUSLINK_API const char *plexor_device_get_description(const plexor_device_t *device); /* may be null */
BUSLINK_API void plexor_device_set_hardware(plexor_device_t *device, const char *text);
BUSLINK_API const char *plexor_device_get_hardware(const plexor_device_t *device); /* "" for none */
BUSLINK_API void plexor_device_set_type(plexor_device_t *device, unsigned char type);
BUSLINK_API unsigned char plexor_device_get_type(const plexor_device_t *device);

/* Queue a read or a write for a device of the synchronised list: 0, or 13
 * when no device has that name (nothing is queued). */
BUSLINK_API int plexor_request_integer(plexor_client_t *client, const char *device, const char *name,
                                       const char *qualifier);
BUSLINK_API int plexor_request_float(plexor_client_t *client, const char *device, const char *name,
                                     const char *qualifier);
BUSLINK_API int plexor_request_buf(plexor_client_t *client, const char *device, const char *name,
                                   const char *qualifier, int size);
BUSLINK_API int plexor_write_integer(plexor_client_t *client, const char *device, const char *name,
                                     const char *qualifier, int value);
BUSLINK_API int plexor_write_float(plexor_client_t *client, const char *device, const char *name,
                                   const char *qualifier, double value);
BUSLINK_API int plexor_write_buf(plexor_client_t *client, const char *device, const char *name,
                                 const char *qualifier, const void *data, int size);
/* Sends the queued requests and stores the answers; priority < 1 is a
 * normal flush, anything else goes ahead of the server's queued work. */
BUSLINK_API int plexor_flush(plexor_client_t *client);
BUSLINK_API int plexor_flush_with_prio(plexor_client_t *client, int priority);
/* The answer of the first matching request: 0, 12 (none), 13 (no device),
 * 14 (not processed yet), 15 (failed) or 16 (no access). */
BUSLINK_API int plexor_result_integer(plexor_client_t *client, const char *device, const char *name,
                                      const char *qualifier, int *value);
BUSLINK_API int plexor_result_float(plexor_client_t *client, const char *device, const char *name,
                                    const char *qualifier, double *value);
BUSLINK_API int plexor_result_buf(plexor_client_t *client, const char *device, const char *name,
                                  const char *qualifier, void *buffer, int size);
/* Forgets every queued request and its answer. */
BUSLINK_API void plexor_reset(plexor_client_t *client);

/* ======================================================================
 * DirectNET client: a master on a serial line in the HEX (ASCII) mode.
 * Items are DirectNET references (V2000, TA3, CTA10, VX7, VY0, VC7, Q12)
 * or nicknames of a node or of the common list. Nodes are 0 to 89.
 * ====================================================================== */

typedef struct dnetio dnetio_t;

enum {
    DNETIO_SUCCESS = 0,
    DNETIO_E_OPEN = 1,
    DNETIO_E_BAUDRATE = 2,
    DNETIO_E_PARITY = 3,
    DNETIO_E_STOPBITS = 4,
    DNETIO_E_DATABITS = 5,
    DNETIO_E_SETTINGS = 6,
    DNETIO_E_TIMEOUTS = 7,
    DNETIO_E_UNAVAILABLE_ITEM = 8,
    DNETIO_E_HANDSHAKE = 9,
    DNETIO_E_WRITE = 10,
    DNETIO_E_NO_RESPONSE = 11,
    DNETIO_E_NOT_ACCEPTED = 12,
    DNETIO_E_ERRONEOUS_RESPONSE = 13,
    DNETIO_E_CHECKSUM = 14,
    DNETIO_E_NO_EOT = 15,
    DNETIO_E_NOT_IN_QUEUE = 16,
    DNETIO_E_NOT_EXECUTED = 17,
    DNETIO_E_UNSUPPORTED_TYPE = 18
};

/* The HEX mode: the only one whose exchanges are implemented. */
#define DNETIO_MODE_HEX 2

BUSLINK_API dnetio_t *dnetio_new(void);
/* Resets, forgets every nickname, closes the port and frees the client. */
BUSLINK_API void dnetio_delete(dnetio_t *client);
/* Opens and configures the port (parity 1 odd, 2 none, 3 even; stop bits 1
 * or 2; data bits 7 or 8); 0, or -1 with the last error set. */
BUSLINK_API int dnetio_set_values(dnetio_t *client, const char *port, int baud, int parity, int stopbits,
                                  int databits, int mode);
BUSLINK_API int dnetio_get_last_error(const dnetio_t *client);
/* The system's text of the last failed open ("Error %d: ..."), "" when none. */
BUSLINK_API const char *dnetio_get_system_error(const dnetio_t *client);
/* 1 while the port is open and its line is there; 0 once it is closed, or
 * vanished (an adapter unplugged), so that its user opens it again. */
BUSLINK_API int dnetio_is_connected(const dnetio_t *client);
BUSLINK_API void dnetio_disconnect(dnetio_t *client);
/* Accepted for compatibility; has no effect. */
BUSLINK_API void dnetio_set_verbose(dnetio_t *client, int level);
BUSLINK_API void dnetio_set_case_sensitive(dnetio_t *client, int flag);
/* node -1 is the common list. Returns 0. */
BUSLINK_API int dnetio_set_nickname(dnetio_t *client, int node, const char *name, const char *item);
/* Replaces the node's (or, for -1, the common) nicknames with those of the
 * file; 0 when it cannot be opened, else 1. */
BUSLINK_API int dnetio_load_documentation(dnetio_t *client, int node, const char *path);
/* Reads: 0, or 8 for an item that cannot be resolved. */
BUSLINK_API int dnetio_request(dnetio_t *client, int node, const char *item, int type);
BUSLINK_API int dnetio_request_buf(dnetio_t *client, int node, const char *item, unsigned bytes);
/* Writes: 0, 8 for an unresolved item, 18 for an unsupported type. */
BUSLINK_API int dnetio_write_integer(dnetio_t *client, int node, const char *item, int type, int value);
BUSLINK_API int dnetio_write_float(dnetio_t *client, int node, const char *item, int type, double value);
BUSLINK_API int dnetio_write_buf(dnetio_t *client, int node, const char *item, const void *data,
                                 unsigned bytes);
BUSLINK_API int dnetio_write_raw(dnetio_t *client, int node, char datatype, unsigned address,
                                 const void *data, unsigned bytes);
/* Exchanges every run in queue order; each keeps its own status. */
BUSLINK_API void dnetio_flush(dnetio_t *client);
/* The status of the run that holds the item (16 when none does). */
BUSLINK_API int dnetio_result_integer(dnetio_t *client, int node, const char *item, int type,
                                      unsigned *value);
BUSLINK_API int dnetio_result_float(dnetio_t *client, int node, const char *item, int type, double *value);
BUSLINK_API int dnetio_result_buf(dnetio_t *client, int node, const char *item, void *buffer,
                                  unsigned bytes);
/* Frees every run. */
BUSLINK_API void dnetio_reset(dnetio_t *client);
/* Enquiry, four bytes back, EOT: 1 when all three worked, else -1. */
BUSLINK_API int dnetio_ping(dnetio_t *client, int node);
/* The one call that may come from another thread while the client is in
 * use: cuts the wait in flight; every later exchange fails at once until
 * dnetio_clear_abort. The port stays open. */
BUSLINK_API void dnetio_abort(dnetio_t *client);
BUSLINK_API void dnetio_clear_abort(dnetio_t *client);
/* Codes 0 to 17; any other: "Unknown error (%d)" in one static buffer. */
BUSLINK_API const char *dnetio_error_string(int code);

/* ======================================================================
 * LCT-1 transmitters: one parenthesised ASCII message and one answer per
 * exchange, nodes 0 to 15, additive checksum.
 * ====================================================================== */

typedef struct lct1 lct1_t;

enum {
    LCT1_SUCCESS = 0,
    LCT1_E_NO_ACCESS = 1,
    LCT1_E_COMSTATE = 2,
    LCT1_E_TIMEOUTS = 3,
    LCT1_E_CHECKSUM = 4,
    LCT1_E_PARENTHESIS = 5,
    LCT1_E_NODE = 6,
    LCT1_E_ERROR_MESSAGE = 7,
    LCT1_E_MISMATCH = 8,
    LCT1_E_NO_RESPONSE = 9,
    LCT1_E_MESSAGE_NUMBER = 10,
    LCT1_E_SETPOINT = 11
};

BUSLINK_API lct1_t *lct1_new(void);
BUSLINK_API void lct1_delete(lct1_t *line);
/* 9600 baud, 7 data bits, even parity, one stop bit. 0; 1 when the port
 * cannot be opened, 2 when it is no serial line, 3 when its settings
 * cannot be applied (the last error is then 2); the system's text in
 * lct1_get_system_error. */
BUSLINK_API int lct1_connect(lct1_t *line, const char *port);
BUSLINK_API void lct1_disconnect(lct1_t *line);
/* 1 while the port is open and its line is there; 0 once it is closed, or
 * vanished (an adapter unplugged), so that its user opens it again. */
BUSLINK_API int lct1_is_connected(const lct1_t *line);
BUSLINK_API int lct1_get_last_error(const lct1_t *line);
BUSLINK_API const char *lct1_get_system_error(const lct1_t *line);
/* Checksums sent and checked (1, the default) or "??" sent and not checked. */
BUSLINK_API void lct1_set_checksum(lct1_t *line, int flag);
/* One exchange; the status is also the last error. */
BUSLINK_API int lct1_exec(lct1_t *line, int node, int message, const char *data);
/* The last answer's node, message number and data (at most 10 characters). */
BUSLINK_API int lct1_get_answer_node(const lct1_t *line);
BUSLINK_API int lct1_get_answer_message(const lct1_t *line);
BUSLINK_API const char *lct1_get_answer_data(const lct1_t *line);
BUSLINK_API int lct1_extern_reset(lct1_t *line, int node);
/* The named parameter's value, or -1 (see the last error). */
BUSLINK_API int lct1_read_setp(lct1_t *line, int node, const char *name);
/* The value the answer carries, or -1. */
BUSLINK_API int lct1_write_setp(lct1_t *line, int node, const char *name, int value);
/* Calibration of a node from two points: weight = raw * factor + offset. */
BUSLINK_API void lct1_set_calib(lct1_t *line, int node, int raw1, double weight1, int raw2, double weight2);
/* Same contract as dnetio_abort. */
BUSLINK_API void lct1_abort(lct1_t *line);
BUSLINK_API void lct1_clear_abort(lct1_t *line);
BUSLINK_API const char *lct1_error_string(int code);

/* ======================================================================
 * DGT serial: LCC1200 controllers, a setpoint addressed by department
 * letter and number; requests queued per round and exchanged on flush.
 * ====================================================================== */

typedef struct dgtserial dgtserial_t;

enum {
    DGTSERIAL_SUCCESS = 0,
    DGTSERIAL_E_DISCONNECTED = 1,
    DGTSERIAL_E_UNHANDLED = 2,
    DGTSERIAL_E_INCOMPLETE = 3,
    DGTSERIAL_E_BAD_RESPONSE = 4,
    DGTSERIAL_E_UNEXPECTED_NODE = 5,
    DGTSERIAL_E_UNEXPECTED_SETPOINT = 6,
    DGTSERIAL_E_UNAVAILABLE = 7,
    DGTSERIAL_E_TIMEOUT = 8,
    DGTSERIAL_E_NOT_IN_REQUEST = 9,
    DGTSERIAL_E_WRITE = 10,
    DGTSERIAL_E_READ = 11,
    DGTSERIAL_E_IMPLEMENT_ME = 999
};

BUSLINK_API dgtserial_t *dgtserial_new(void);
BUSLINK_API void dgtserial_delete(dgtserial_t *line);
/* Even parity, two stop bits, 7 data bits. 0, or 1 when it cannot be opened. */
BUSLINK_API int dgtserial_connect(dgtserial_t *line, const char *port, int baud);
BUSLINK_API void dgtserial_disconnect(dgtserial_t *line);
/* 1 while the port is open and its line is there; 0 once it is closed, or
 * vanished (an adapter unplugged), so that its user opens it again. */
BUSLINK_API int dgtserial_is_connected(const dgtserial_t *line);
/* The system's reason ("Error %d: ...") why the last connect failed; "" when
 * it did not fail. */
BUSLINK_API const char *dgtserial_get_system_error(const dgtserial_t *line);
BUSLINK_API void dgtserial_queue_read(dgtserial_t *line, char department, unsigned number);
BUSLINK_API void dgtserial_queue_write(dgtserial_t *line, char department, unsigned number, double value);
BUSLINK_API void dgtserial_queue_write_int(dgtserial_t *line, char department, unsigned number, int value);
BUSLINK_API void dgtserial_queue_broadcast(dgtserial_t *line, unsigned number, double value);
/* Broadcasts, then writes, then reads; each record keeps its status. */
BUSLINK_API void dgtserial_flush(dgtserial_t *line);
/* The status for that setpoint; 9 when nothing was queued for it. */
BUSLINK_API int dgtserial_result(dgtserial_t *line, char department, unsigned number, double *value);
BUSLINK_API int dgtserial_result_int(dgtserial_t *line, char department, unsigned number, int *value);
/* Starts a new round: every queued record goes back to the pool. */
BUSLINK_API void dgtserial_new_request(dgtserial_t *line);
BUSLINK_API const char *dgtserial_get_node_list(dgtserial_t *line);
/* Same contract as dnetio_abort. */
BUSLINK_API void dgtserial_abort(dgtserial_t *line);
BUSLINK_API void dgtserial_clear_abort(dgtserial_t *line);
BUSLINK_API const char *dgtserial_get_errmsg(int code);

/* ======================================================================
 * SuperLink: setpoints reached through files in a folder shared with the
 * SuperLink program. A request file and a flag go out, a result file and
 * a flag come back; both sides' files appear whole (written, then renamed).
 * ====================================================================== */

typedef struct slcom slcom_t;

enum {
    SLCOM_SUCCESS = 0,
    SLCOM_E_NO_RESPONSE = 1,
    SLCOM_E_OPEN = 2,
    SLCOM_E_RENAME = 3,
    SLCOM_E_NOT_IN_LIST = 4,
    SLCOM_E_NOT_HANDLED = 5,
    SLCOM_E_ILLEGAL_RESPONSE = 6,
    SLCOM_NOT_READY = 7,
    SLCOM_E_NO_RESULT = 8,
    /* A name or department that would not fit on its request line: a line
     * break, an "=", more than SLCOM_MAX_NAME bytes, a digit, sign, colon or
     * control character as department. Not queued. */
    SLCOM_E_BAD_REQUEST = 9
};

#define SLCOM_MAX_NAME 64
/* Requests per request file. */
#define SLCOM_BATCH_SIZE 128

/* No folder, network 1, 5 s. Null when out of resources. */
BUSLINK_API slcom_t *slcom_new(void);
BUSLINK_API slcom_t *slcom_new_with_values(const char *folder, int network);
BUSLINK_API void slcom_delete(slcom_t *sl);
/* The folder gets a "/" unless it is empty or ends in "/" or "\". */
BUSLINK_API void slcom_set_values(slcom_t *sl, const char *folder, int network);
BUSLINK_API const char *slcom_get_compath(const slcom_t *sl);
BUSLINK_API int slcom_get_flag(const slcom_t *sl);
/* The whole flush's time-out, in seconds (negative counts as 0). */
BUSLINK_API void slcom_set_timeout(slcom_t *sl, int seconds);
BUSLINK_API int slcom_get_timeout(const slcom_t *sl);
/* Queue a write or a read (department 0 for none): 0, or 9. */
BUSLINK_API int slcom_write(slcom_t *sl, const char *name, int number, char department, double value);
BUSLINK_API int slcom_request(slcom_t *sl, const char *name, int number, char department);
/* Sends every queued request and waits for the answers: 0; 1 when the
 * time-out ran out or slcom_abort cut the wait; 2, 3, 6 or 8. Any failure
 * discards every request. */
BUSLINK_API int slcom_flush(slcom_t *sl);
/* Starts afresh (removes the exchange files; unanswered requests go out
 * again), then as slcom_ready. */
BUSLINK_API int slcom_flush_async(slcom_t *sl);
/* One step without waiting: 7 while answers are outstanding, 0 when all
 * came, or a failure as slcom_flush. */
BUSLINK_API int slcom_ready(slcom_t *sl);
/* The answered request's status (its value stored on 0), 4 when none. The
 * integer form rounds half toward zero (2.5 gives 2, 2.51 gives 3, -2.51
 * gives -3); a value outside the int range gives 6. */
BUSLINK_API int slcom_result(slcom_t *sl, const char *name, int number, char department, double *value);
BUSLINK_API int slcom_result_int(slcom_t *sl, const char *name, int number, char department, int *value);
BUSLINK_API void slcom_reset(slcom_t *sl);
/* Same contract as dnetio_abort: a flush or step after it fails with 1. */
BUSLINK_API void slcom_abort(slcom_t *sl);
BUSLINK_API void slcom_clear_abort(slcom_t *sl);
/* Codes 0 to 9; any other "Unhandled error". */
BUSLINK_API const char *slcom_error_string(int code);

/* ======================================================================
 * TXIF adapter: ARCNET controllers through an adapter on USB (an FTDI
 * USB-serial chip) or on an RS-232 line (38400 baud, 8N1).
 *
 * Packets are byte buffers of the caller of at least TXIF_PACKET_SIZE
 * bytes; every number is little-endian. Byte 0 is the function code, bytes
 * 1-2 the payload length n, then n payload bytes, then three trailer bytes:
 * 0x04 (end mark) and the CRC-16 of bytes 0 to n+3 (reflected polynomial
 * 0xA001, start 0xFFFF, no final xor), low byte first. txif_send_packet
 * fills the trailer; txif_read_packet checks it. A packet is n + 6 bytes on
 * the wire.
 *
 * Status codes are 0 and the negative TXIF_E_* codes; -101 to -108 are the
 * adapter's NAK codes 1 to 7 and 100.
 * ====================================================================== */

typedef struct txif txif_t;

enum {
    TXIF_SUCCESS = 0,
    TXIF_E_NO_USB_BUS = -1,
    TXIF_E_DEVICE_LIST = -2,
    TXIF_E_NOT_FOUND = -3,
    TXIF_E_OPEN = -4,
    TXIF_E_CLAIM = -5,
    TXIF_E_NO_CONNECTION = -6,
    TXIF_E_SEND = -7,
    TXIF_E_NETWORK = -8,
    TXIF_E_NODE = -9,
    TXIF_E_PACKET_FULL = -10,
    TXIF_E_BITBANG = -11,
    TXIF_E_BAUDRATE = -12,
    TXIF_E_INIT = -13,
    TXIF_E_PURGE = -14,
    TXIF_E_READ = -15,
    TXIF_E_TIMEOUT = -16,
    TXIF_E_INCOMPLETE = -17,
    TXIF_E_FUNCTION = -18,
    TXIF_E_INDEX = -19,
    TXIF_E_DATA_FORMAT = -20,
    TXIF_E_NOT_IN_PACKET = -21,
    TXIF_E_NAK_FUNCTION = -101,
    TXIF_E_NAK_NETWORK = -102,
    TXIF_E_NAK_NODE = -103,
    TXIF_E_NAK_REMOTE_TIMEOUT = -104,
    TXIF_E_NAK_FORMAT = -105,
    TXIF_E_NAK_SETPOINT = -106,
    TXIF_E_NAK_GENERIC = -107,
    TXIF_E_NAK_NOT_READY = -108,
    TXIF_E_UNIMPLEMENTED = -200
};

enum {
    TXIF_FUN10_READ = 10,
    TXIF_FUN20_WRITE = 20,
    TXIF_FUN30_DEVINFOREQ = 30,
    TXIF_FUN110_READ_ANSWER = 110,
    TXIF_FUN130_DEVINFO = 130,
    TXIF_FUN255_NAK = 255
};

/* Value types inside packets; a value always takes 4 bytes. */
enum {
    TXIF_TYPE_S8 = 1,
    TXIF_TYPE_U8 = 2,
    TXIF_TYPE_S16 = 3,
    TXIF_TYPE_U16 = 4,
    TXIF_TYPE_S32 = 5,
    TXIF_TYPE_U32 = 6,
    TXIF_TYPE_FLOAT = 7
};

/* The largest packet taken, trailer included; an answer whose length field
 * asks for more is refused (TXIF_E_DATA_FORMAT). */
#define TXIF_PACKET_SIZE 340

/* Eleven entries fill a request. */
#define TXIF_PACKET_ENTRIES 11

typedef struct txif_devinfo {
    uint8_t type; /* 1 USB, 2 RS-232 */
    uint8_t version_major, version_minor, version_patch;
    uint8_t node, next_node;
    int32_t reconf;
    uint8_t status, diag_status;
    uint16_t params;
} txif_devinfo_t;

/* The eight functions of the USB chip's driver, each answering 0 for
 * success. The USB transport picks the table when it is made; the default
 * drives libftdi1. list_devices and open see only devices with the given
 * identifiers. set_wakeup may be null: a readable wake_fd cuts the waits of
 * read and write. */
typedef void *txif_ft_handle_t;
typedef struct txif_usb_driver {
    unsigned long (*list_devices)(int vendor, int product, unsigned *count);
    unsigned long (*open)(int vendor, int product, int index, txif_ft_handle_t *handle);
    unsigned long (*close)(txif_ft_handle_t handle);
    unsigned long (*read)(txif_ft_handle_t handle, void *buffer, unsigned size, unsigned *got);
    unsigned long (*write)(txif_ft_handle_t handle, const void *buffer, unsigned size, unsigned *written);
    unsigned long (*set_baud_rate)(txif_ft_handle_t handle, unsigned baud);
    unsigned long (*purge)(txif_ft_handle_t handle, unsigned mask); /* 1 receive, 2 transmit */
    unsigned long (*set_timeouts)(txif_ft_handle_t handle, unsigned read_ms, unsigned write_ms);
    void (*set_wakeup)(txif_ft_handle_t handle, int wake_fd);
} txif_usb_driver_t;

/* Replaces the table for USB transports made from now on (null: the
 * default); process-wide. */
BUSLINK_API void txif_set_usb_driver(const txif_usb_driver_t *driver);

BUSLINK_API txif_t *txif_new(void);
BUSLINK_API void txif_free(txif_t *adapter);
/* -1 for an identifier takes its default (0x0403, 0x6001). The first
 * device with both identifiers is opened. The transport stays attached
 * after a failed connect, and a send or read connects it again. */
BUSLINK_API int txif_connect_usb(txif_t *adapter, int vendor, int product);
/* 0, or TXIF_E_OPEN (the system's reason in txif_get_system_error). */
BUSLINK_API int txif_connect_serial(txif_t *adapter, const char *port);
BUSLINK_API int txif_disconnect(txif_t *adapter);
/* 1 while the transport is connected (a serial line that vanished is not). */
BUSLINK_API int txif_is_connected(const txif_t *adapter);
BUSLINK_API const char *txif_get_system_error(const txif_t *adapter);
BUSLINK_API void txif_set_timeout(txif_t *adapter, int milliseconds);
BUSLINK_API int txif_get_timeout(const txif_t *adapter);
BUSLINK_API int txif_send_packet(txif_t *adapter, unsigned char *packet);
/* packet holds TXIF_PACKET_SIZE bytes. A short packet is
 * TXIF_E_INCOMPLETE (RS-232) or TXIF_E_TIMEOUT (USB); a bad trailer or a
 * length field above the size is TXIF_E_DATA_FORMAT. */
BUSLINK_API int txif_read_packet(txif_t *adapter, unsigned char *packet);
BUSLINK_API int txif_purge_buffers(txif_t *adapter);
BUSLINK_API void txif_prepare_packet(unsigned char *packet);
/* Same contract as dnetio_abort; the cut exchanges give
 * TXIF_E_NO_CONNECTION. */
BUSLINK_API void txif_abort(txif_t *adapter);
BUSLINK_API void txif_clear_abort(txif_t *adapter);

/* Network 0 takes nodes 0 to 254; the others must be 1 or 255. */
BUSLINK_API int txif_init_packet_FUN10_READ(unsigned char *packet, int network, unsigned node);
BUSLINK_API int txif_init_packet_FUN20_WRITE(unsigned char *packet, int network, unsigned node);
BUSLINK_API int txif_init_packet_FUN30_DEVINFOREQ(unsigned char *packet);
BUSLINK_API int txif_packet_add_setp_request(unsigned char *packet, unsigned id, int type);
BUSLINK_API int txif_packet_add_setp_value_i(unsigned char *packet, unsigned id, int type, int value);
BUSLINK_API int txif_packet_add_setp_value_f(unsigned char *packet, unsigned id, int type, float value);
BUSLINK_API int txif_packet_is_full(const unsigned char *packet);
BUSLINK_API int txif_packet_get_funcode(const unsigned char *packet);
/* The node of a request, or TXIF_E_FUNCTION. */
BUSLINK_API long long txif_get_recipient(const unsigned char *packet);
BUSLINK_API int txif_get_setp_index(const unsigned char *packet, unsigned id);
/* The entry's status byte, or a negative status. */
BUSLINK_API int txif_get_nth_setp_value_i(const unsigned char *packet, int index, unsigned *id, int *value);
BUSLINK_API int txif_get_nth_setp_value_f(const unsigned char *packet, int index, unsigned *id, float *value);
BUSLINK_API int txif_get_nak_code(const unsigned char *packet);
BUSLINK_API int txif_get_nak_error(const unsigned char *packet);
/* The status for a NAK code (also an answer entry's status byte). */
BUSLINK_API int txif_nak_to_error(int code);
BUSLINK_API int txif_packet_get_devinfo(const unsigned char *packet, txif_devinfo_t *info);
BUSLINK_API void txif_print_devinfo(const txif_devinfo_t *info, FILE *stream, const char *prefix);
BUSLINK_API const char *txif_get_error_string(int code);

#ifdef __cplusplus
}
#endif

#endif
