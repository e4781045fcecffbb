/* plexord: the server core. Plain C over core-owned records; no exception
 * crosses it. Texts are NUL-terminated UTF-8.
 *
 * Threads: every function may be called from any thread once plexord_init
 * has returned, except the lifecycle functions (init, load, start, stop,
 * finalize), which the embedding program calls from one thread. The event
 * callback runs on the core's own event thread.
 *
 * Ownership: the core owns networks, devices, users, tasks, documentation
 * and hardware types. A handle from a *_fetch_* function is locked for its
 * caller and is given back with the matching *_drop_* function; texts a
 * getter returns belong to the core and stay valid while the handle is held
 * (unless a function says otherwise). */
#ifndef PLEXORD_H
#define PLEXORD_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "basekit.h"

#ifdef __cplusplus
extern "C" {
#endif

#define PLEXORD_API __attribute__((visibility("default")))

/* ======================================================================
 * Results
 * ====================================================================== */

/* Every core operation answers a result pair. (1, 0) is success.
 * (code & 0xff) is the failure class below; (code >> 8), when not 0, is the
 * plug-in that reported the failure (its load order, from 1), so that
 * ncerr_get_string can add the driver's own text for the status code in
 * detail. For NCERR_IO the detail is the system error number. */
typedef struct ncerr {
    int code;
    int detail;
} ncerr_t;

enum {
    NCERR_OK = 1,
    NCERR_NO_DEVICE = 2,        /* unknown device, or not on this network */
    NCERR_NO_NETWORK = 3,       /* unknown network, or the network was removed */
    NCERR_NOT_STARTED = 4,      /* the network is stopped */
    NCERR_TIMEOUT = 5,          /* the driver got no answer in time */
    NCERR_UNKNOWN_SETPOINT = 6, /* the device does not have that setpoint */
    NCERR_ACCESS_DENIED = 7,
    NCERR_INVALID = 8,          /* bad argument, unknown key, bad value */
    NCERR_DRIVER = 9,           /* other driver failure; detail is its status */
    NCERR_NOT_QUEUED = 10,      /* a result asked for an item that was not queued */
    NCERR_READ_ONLY = 11,       /* the setpoint cannot be written */
    NCERR_IO = 12,              /* a file could not be read or written */
    NCERR_NO_TYPE = 13,         /* no plug-in for that network type */
    NCERR_STATE = 14,           /* the core is not ready, or a result asked before the flush */
    NCERR_BUSY = 15,            /* the object stayed locked past the wait */
    NCERR_ABORTED = 16          /* the network stopped while the request waited */
};

/* The success pair (1, 0). */
PLEXORD_API ncerr_t ncerr_ok(void);
/* 1 when r is (1, 0), else 0. */
PLEXORD_API int ncerr_is_ok(ncerr_t r);
/* An operator-readable text for r, including the driver's message when a
 * plug-in reported it. The text belongs to the core and stays valid until
 * the process ends; never null. */
PLEXORD_API const char *ncerr_get_string(ncerr_t r);

/* ======================================================================
 * Events
 * ====================================================================== */

enum {
    NCEVENT_LOG = 2,                 /* message: a log line, " * " info, " ! " failure */
    NCEVENT_CLIENT_CONNECTED = 3,
    NCEVENT_CLIENT_EVENT = 4,
    NCEVENT_CLIENT_DISCONNECTED = 5,
    NCEVENT_CLIENT_CHANGED = 6,      /* client_text is the new description */
    NCEVENT_READ_REQUEST = 7,
    NCEVENT_READ_RESULT = 8,
    NCEVENT_WRITE_REQUEST = 9,
    NCEVENT_WRITE_RESULT = 10,
    NCEVENT_DEVICE_ADDED = 11,
    NCEVENT_DEVICE_REMOVED = 12,
    NCEVENT_DEVICE_CHANGED = 13,
    NCEVENT_NETWORK_ADDED = 14,
    NCEVENT_NETWORK_REMOVED = 15,
    NCEVENT_NETWORK_CHANGED = 16
};

/* A core event. Fields that a type does not use are 0 or null. */
typedef struct ncevent {
    int type;
    ncerr_t result;       /* all types; (1, 0) unless a failure is reported */
    char *message;        /* 2 */
    uint32_t client_id;   /* 3 to 10; 0 for the core's and the console's own I/O */
    char *client_text;    /* 3 to 6, may be null */
    uint16_t device_id;   /* 7 to 13 */
    uint16_t network_id;  /* 7 to 10, 14 to 16 */
    char *item;           /* 7 to 10 */
    char *flag;           /* 7 to 10, "" when the setpoint has none */
    double value;         /* 7 to 10 */
} ncevent_t;

/* Called on the core's event thread, one event at a time, in the order the
 * events arose. The event is valid during the call only; copy it to keep it.
 * The core emits I/O events (7 to 10) for its own traffic (scheduler tasks,
 * remote clients); a console announces its own reads and writes with
 * ncevent_throw_io_event, so a console flush is never announced twice. */
typedef void (*ncevent_callback_t)(const ncevent_t *event);

/* A deep copy that the caller frees with ncevent_delete; null gives null. */
PLEXORD_API ncevent_t *ncevent_copy(const ncevent_t *event);
PLEXORD_API void ncevent_delete(ncevent_t *event);
/* Queues an I/O event (types 7 to 10) for the event thread, as if the core
 * had seen the I/O itself. item and flag may be null (taken as ""). Other
 * types give NCERR_INVALID. */
PLEXORD_API ncerr_t ncevent_throw_io_event(int type, uint16_t network_id, uint16_t device_id, uint32_t client_id,
                                           const char *item, const char *flag, double value, ncerr_t result);

/* ======================================================================
 * Lifecycle
 * ====================================================================== */

/* Flags for plexord_init. */
enum {
    /* A missing configuration starts empty instead of from the demo plant. */
    PLEXORD_INIT_NO_DEMO = 1,
    /* Lighter password hashing (for tests only). */
    PLEXORD_INIT_FAST_HASH = 2,
    /* No listening for remote clients, whatever the configuration says,
     * until plexord_set_listen is called (for tests: many cores run at once). */
    PLEXORD_INIT_NO_LISTEN = 4
};

/* Starts the core: remembers the folders (copied), starts the event thread
 * and reads the hardware types of the data folder. An empty or null
 * configuration folder falls back to $HOME/.plexord (created, and logged).
 * reserved must be null. A second call before plexord_finalize changes
 * nothing and answers NCERR_STATE. */
PLEXORD_API ncerr_t plexord_init(const char *config_dir, const char *data_dir, const char *plugin_dir,
                                 ncevent_callback_t callback, unsigned flags, void *reserved);
/* Loads every shared object of the plug-in folder; one that fails to load
 * is logged and skipped. Repeated calls do nothing more. */
PLEXORD_API ncerr_t plexord_load_plugins(void);
/* Loads the configuration file (plexord_get_config_path). A missing file
 * gives the demo plant; a malformed one is logged with file and line, what
 * could be read is kept, and the file is not overwritten by a save until
 * something is changed. Repeated calls do nothing more. */
PLEXORD_API ncerr_t plexord_load_config(void);
/* Starts every network, the scheduler and the event thread. Harmless when
 * already started. */
PLEXORD_API ncerr_t plexord_start(void);
/* Writes the configuration atomically. Skipped (and answered with success)
 * when the loaded file was malformed and nothing has changed since; the
 * first save over such a file keeps it as plexord.ini.bak. */
PLEXORD_API ncerr_t plexord_save_config(void);
/* Stops the scheduler and every network, delivers the queued events and
 * joins every core thread. Harmless when already stopped. */
PLEXORD_API ncerr_t plexord_stop(void);
/* Stops what still runs, frees every object and unloads the plug-ins.
 * Queued events that were not delivered are dropped. Harmless when repeated;
 * plexord_init may be called again afterwards. */
PLEXORD_API void plexord_finalize(void);

/* The folders as the core uses them (after the fallback); "" before init. */
PLEXORD_API const char *plexord_get_config_dir_path(void);
PLEXORD_API const char *plexord_get_data_path(void);
PLEXORD_API const char *plexord_get_plugin_path(void);
/* Full path of the configuration file (config folder + "plexord.ini"). */
PLEXORD_API const char *plexord_get_config_path(void);
/* 1 when the configuration changed since it was loaded or saved. */
PLEXORD_API int plexord_config_is_dirty(void);
PLEXORD_API int plexord_is_started(void);

/* ======================================================================
 * Network types (plug-ins)
 * ====================================================================== */

/* 1 exactly when a loaded plug-in provides the type key. */
PLEXORD_API int plexord_has_network_type(const char *type_key);
PLEXORD_API int plexord_get_network_type_count(void);
/* Key and label of the i-th loaded type (0-based); null when out of range. */
PLEXORD_API const char *plexord_get_network_type_key(int i);
PLEXORD_API const char *plexord_get_network_type_label(int i);

/* ======================================================================
 * Networks
 * ====================================================================== */

typedef struct plexord_network network_t;

/* Parameter value kinds (see network_get). */
enum { NETWORK_PARAM_TEXT = 1, NETWORK_PARAM_INTEGER = 2, NETWORK_PARAM_FLAG = 3 };
/* The kind a plug-in gives a text it must recover but that must not lie in
 * clear in the configuration file (a password to log in elsewhere): the
 * file keeps it encrypted. network_get, network_set and
 * network_get_param_kind treat it as NETWORK_PARAM_TEXT. */
enum { NETWORK_PARAM_SECRET = 4 };

/* A new, stopped network of the type, with the plug-in's default
 * parameters and a fresh id; null when no plug-in has the type or it
 * cannot create one. The handle stays valid until plexord_finalize, also
 * after networkmgr_add_network hands the network to the manager. */
PLEXORD_API network_t *plexord_create_network(const char *type_key);
/* Hands a created network to the manager (event 14). It is started when
 * the core is started. Adding it twice gives NCERR_INVALID. */
PLEXORD_API ncerr_t networkmgr_add_network(network_t *network);
/* Stops and removes the network (event 15), after waiting up to 2 s for
 * fetched handles to be dropped. Its devices stay; their I/O fails with
 * NCERR_NO_NETWORK until they are removed too. */
PLEXORD_API ncerr_t networkmgr_remove_network(uint16_t id);
PLEXORD_API int networkmgr_get_network_count(void);
/* A new handle of the network with its own request queue, locked shared
 * for the caller; waits up to wait_ms while the network is locked by a
 * removal. Null for an unknown id or when the wait runs out. */
PLEXORD_API network_t *networkmgr_fetch_network(uint16_t id, int wait_ms);
PLEXORD_API void networkmgr_drop_network(network_t *network);
/* Iteration over a snapshot of the ids taken at start, per calling thread,
 * in id order; get_next gives 0 at the end. */
PLEXORD_API void networkmgr_iterate_start(void);
PLEXORD_API uint16_t networkmgr_iterate_get_next(void);
PLEXORD_API void networkmgr_iterate_end(void);

PLEXORD_API uint16_t network_get_id(network_t *network);
/* The "name" parameter. */
PLEXORD_API const char *network_get_name(network_t *network);
/* The type key, e.g. "db"; valid until plexord_finalize. */
PLEXORD_API const char *network_get_type(network_t *network);
/* 1 while the network runs. */
PLEXORD_API int network_is_started(network_t *network);

/* Parameters by key, in (key, pointer) pairs ended by a null key:
 *   network_get(net, "name", &text, "delay", &number, (char *)0);
 * Each key has one kind, fixed by the network type:
 *   text:    get takes a `char **` that receives the core's own copy (valid
 *            while the handle is held and until this key is read again
 *            through the same handle; never freed by the caller);
 *   integer, flag: get takes an `int *`.
 * "name" (text) exists for every type. A key the network does not have
 * leaves its variable untouched and makes the answer NCERR_INVALID; the
 * other keys are still read. */
PLEXORD_API ncerr_t network_get(network_t *network, ...);
/* Pairs (key, value) ended by a null key:
 *   network_set(net, "name", "Plant", "delay", 20, (char *)0);
 * text: a `const char *` that the core copies; integer and flag: an `int`.
 * Values are checked by the plug-in. A key the network does not have stops
 * the list there (its value's kind is unknown) with NCERR_INVALID; the
 * pairs before it are applied. Changes reach a running network at its next
 * start (network_restart). */
PLEXORD_API ncerr_t network_set(network_t *network, ...);
PLEXORD_API ncerr_t network_vget(network_t *network, va_list ap);
PLEXORD_API ncerr_t network_vset(network_t *network, va_list ap);
/* Parameter introspection: the keys the type has, "name" first. */
PLEXORD_API int network_get_param_count(network_t *network);
PLEXORD_API const char *network_get_param_key(network_t *network, int i);
/* NETWORK_PARAM_*, or 0 for an unknown key. */
PLEXORD_API int network_get_param_kind(network_t *network, const char *key);

/* Start returns at once: the link to the devices is made on the network's
 * worker thread. Stop cuts the exchange in flight (its requests fail with
 * NCERR_ABORTED) and joins the worker. Both are harmless when repeated. */
PLEXORD_API ncerr_t network_start(network_t *network);
PLEXORD_API ncerr_t network_stop(network_t *network);
PLEXORD_API ncerr_t network_restart(network_t *network);

/* ---- device I/O, on the request queue of the calling handle ----
 * Reset the queue, queue reads and writes by device id, item and flag
 * (flag null or "" for none), flush, then take each item's result.
 * network_flush hands the queue to the network's worker and blocks until
 * it is done; every exchange is bounded by the driver's time-outs. On a
 * stopped network every item fails with NCERR_NOT_STARTED; an unknown
 * device (or one on another network) fails with NCERR_NO_DEVICE. */
PLEXORD_API ncerr_t network_reset_request(network_t *network);
PLEXORD_API ncerr_t network_queue_read_integer(network_t *network, uint16_t device_id, const char *item,
                                               const char *flag);
PLEXORD_API ncerr_t network_queue_read_float(network_t *network, uint16_t device_id, const char *item,
                                             const char *flag);
PLEXORD_API ncerr_t network_queue_write_integer(network_t *network, uint16_t device_id, const char *item,
                                                const char *flag, long value);
PLEXORD_API ncerr_t network_queue_write_float(network_t *network, uint16_t device_id, const char *item,
                                              const char *flag, double value);
/* Success when every queued item succeeded; otherwise the first failure,
 * or the failure of the whole batch (stopped network, driver failure),
 * which every item then carries too. */
PLEXORD_API ncerr_t network_flush(network_t *network);
/* The result of the queued item (device, item, flag) after the flush, and
 * its value (read, or the value written). A request queued twice answers
 * in queue order. NCERR_NOT_QUEUED when no such item was queued; the value
 * is then left untouched. */
PLEXORD_API ncerr_t network_result_integer(network_t *network, uint16_t device_id, const char *item,
                                           const char *flag, long *value);
PLEXORD_API ncerr_t network_result_float(network_t *network, uint16_t device_id, const char *item,
                                         const char *flag, double *value);

/* ======================================================================
 * Hardware types and documentation
 * ====================================================================== */

typedef struct plexord_hwinfo hwinfo_t;
typedef struct plexord_hwiter hwiter_t;
typedef struct plexord_doc doc_t;

/* Iterator over every hardware type, sorted by name, standing on the first
 * (iter_get gives null when there is none). iter_next advances and gives 0
 * at the end. Free with hardwaremgr_iter_free. */
PLEXORD_API hwiter_t *hardwaremgr_get_iter_all(void);
PLEXORD_API hwinfo_t *hardwaremgr_iter_get(hwiter_t *iter);
PLEXORD_API int hardwaremgr_iter_next(hwiter_t *iter);
PLEXORD_API void hardwaremgr_iter_free(hwiter_t *iter);
/* By name, case-insensitive; null when unknown. */
PLEXORD_API hwinfo_t *hardwaremgr_find(const char *name);
PLEXORD_API int hardwaremgr_get_count(void);

/* Hardware types live until plexord_finalize; so do these texts.
 * A null hwinfo gives "" (name) or null (paths). */
PLEXORD_API const char *hwinfo_get_name(hwinfo_t *hw);
/* The icon's file name inside the data folder's "images" folder, or null. */
PLEXORD_API const char *hwinfo_get_icon_path(hwinfo_t *hw);
/* Full path of the backup template, or null when the type has none. */
PLEXORD_API const char *hwinfo_get_backup_path(hwinfo_t *hw);
/* Full path of the default documentation, or null. */
PLEXORD_API const char *hwinfo_get_doc_path(hwinfo_t *hw);
/* The default documentation of the type (null when none). */
PLEXORD_API doc_t *hwinfo_get_doc(hwinfo_t *hw);

/* Documentation: setpoint descriptions read from a CSV file of lines
 * "item,description" (item may hold "item:flag"; the description may be
 * double-quoted with "" for a quote; lines starting with # are comments).
 * A device's documentation handle stays valid until plexord_finalize, also
 * after the device is dropped; reloading it changes it in place. */
PLEXORD_API void doc_lock(doc_t *doc);
PLEXORD_API void doc_unlock(doc_t *doc);
/* The description of item (which may be "item:flag"): the exact entry's,
 * else that of the item without its flag; null when undocumented or doc is
 * null. Valid while the doc is locked. */
PLEXORD_API const char *doc_get_best_description(doc_t *doc, const char *item);
/* Entries in file order. Valid while locked. */
PLEXORD_API int doc_get_count(doc_t *doc);
PLEXORD_API const char *doc_get_item(doc_t *doc, int i);
PLEXORD_API const char *doc_get_description(doc_t *doc, int i);
/* A stand-alone documentation parsed from text, owned by the caller. */
PLEXORD_API doc_t *doc_parse(const char *text, size_t length);
PLEXORD_API void doc_delete(doc_t *doc);

/* ======================================================================
 * Devices
 * ====================================================================== */

/* A device record. Read its fields directly while the device is fetched;
 * change them only through the device_set_* functions (with the device
 * fetched in mode 1). The texts are UTF-8. */
typedef struct plexord_device {
    uint16_t network_id;
    uint16_t id;
    char *name;          /* never null */
    char *description;   /* a second text shown after the name; may be null */
    char *address;       /* the device's address on its network; may be null */
    hwinfo_t *hardware;  /* null when no hardware type is set */
    char *doc_path;      /* documentation file, null when none */
} device_t;

/* A new device record on the network, with a fresh id valid at once; not
 * known to the manager until devicemgr_add_device. The network need not
 * exist yet. The record stays valid until plexord_finalize. */
PLEXORD_API device_t *device_new(uint16_t network_id);
/* Hands a new record to the manager (event 11). */
PLEXORD_API ncerr_t devicemgr_add_device(device_t *device);
/* Removes the device (event 12); handles still held stay valid. */
PLEXORD_API ncerr_t devicemgr_remove_device(uint16_t id);
PLEXORD_API int devicemgr_get_device_count(void);
/* Locks the device, mode 0 shared (to read) or 1 exclusive (to modify),
 * waiting up to 3 s; null for an unknown id or when the wait runs out. */
PLEXORD_API device_t *devicemgr_fetch_device(uint16_t id, int mode);
/* Unlocks; a device changed while fetched is announced (event 13) now. */
PLEXORD_API void devicemgr_drop_device(device_t *device);
/* Iteration over a snapshot of ids, per thread, in id order; 0 ends it. */
PLEXORD_API void devicemgr_iterate_start(void);
PLEXORD_API uint16_t devicemgr_iterate_get_next(void);
PLEXORD_API void devicemgr_iterate_end(void);

PLEXORD_API const char *device_get_name(device_t *device);
PLEXORD_API const char *device_get_address(device_t *device);
PLEXORD_API const char *device_get_description(device_t *device);
PLEXORD_API hwinfo_t *device_get_hardware(device_t *device);
PLEXORD_API ncerr_t device_set_name(device_t *device, const char *name);
PLEXORD_API ncerr_t device_set_description(device_t *device, const char *text);
PLEXORD_API ncerr_t device_set_address(device_t *device, const char *address);
/* By hardware name (case-insensitive); null or "" clears it. An unknown
 * name gives NCERR_INVALID and keeps the old type. */
PLEXORD_API ncerr_t device_set_hardware(device_t *device, const char *hardware_name);
/* Sets the documentation path and loads it; null or "" clears it. A file
 * that cannot be read keeps the path (NCERR_IO) and documents nothing. */
PLEXORD_API ncerr_t device_load_documentation(device_t *device, const char *path);
/* The device's own documentation, else its hardware type's; may be null. */
PLEXORD_API doc_t *device_get_doc(device_t *device);
/* With the cache enforced, a read younger than max_age_s seconds is
 * answered from the last value read or written. */
PLEXORD_API ncerr_t device_cache_enforce(device_t *device, int enforce, int64_t max_age_s);
PLEXORD_API int device_cache_is_enforced(device_t *device);
/* In seconds, clamped to the int range. */
PLEXORD_API int device_get_max_cache_age(device_t *device);

/* ======================================================================
 * Users and clients
 * ====================================================================== */

typedef struct plexord_user user_t;

/* A new user with a fresh id, empty name, password and access; not known
 * to the manager until usermanager_add_user. Valid until plexord_finalize. */
PLEXORD_API user_t *user_new(void);
PLEXORD_API ncerr_t usermanager_add_user(user_t *user);
PLEXORD_API ncerr_t usermanager_remove_user(uint16_t id);
PLEXORD_API int usermanager_get_user_count(void);
/* Mode 0 shared, 1 exclusive; waits up to 3 s; null when unknown. */
PLEXORD_API user_t *usermanager_fetch_user(uint16_t id, int mode);
PLEXORD_API void usermanager_drop_user(user_t *user);
PLEXORD_API void usermanager_iterate_start(void);
PLEXORD_API uint16_t usermanager_iterate_get_next(void);
PLEXORD_API void usermanager_iterate_end(void);

PLEXORD_API uint16_t user_get_id(user_t *user);
PLEXORD_API const char *user_get_name(user_t *user);
/* The stored password text: a salted hash, or "" when none is set. */
PLEXORD_API const char *user_get_password(user_t *user);
PLEXORD_API const char *user_get_read_access(user_t *user);
PLEXORD_API const char *user_get_write_access(user_t *user);
PLEXORD_API ncerr_t user_set_name(user_t *user, const char *name);
/* Stores a salted hash of the password. Given exactly the stored text
 * (as an edit dialog hands back what it loaded), it keeps it. "" clears
 * the password: such a user cannot log in. */
PLEXORD_API ncerr_t user_set_password(user_t *user, const char *password);
/* 1 when the clear-text password matches the stored hash. */
PLEXORD_API int user_check_password(user_t *user, const char *password);
/* Access texts: comma-separated device-name patterns, '*' and '?'
 * wildcards, case-insensitive; "*" allows every device, "" none. */
PLEXORD_API ncerr_t user_set_read_access(user_t *user, const char *patterns);
PLEXORD_API ncerr_t user_set_write_access(user_t *user, const char *patterns);
PLEXORD_API int user_may_read(user_t *user, const char *device_name);
PLEXORD_API int user_may_write(user_t *user, const char *device_name);
/* 1 when name matches one of the comma-separated patterns. */
PLEXORD_API int plexord_access_match(const char *patterns, const char *name);

/* Whether local connections are authorised without a password. */
PLEXORD_API void plexord_allow_local_challenge(int allow);
PLEXORD_API int plexord_local_challenge_is_allowed(void);
/* Remote clients connected now. */
PLEXORD_API int clientmanager_get_client_count(void);

/* Where the core listens for remote clients from the next plexord_start on; saved with the
   configuration. An empty or null address turns listening off; port 0 picks a free port. */
PLEXORD_API ncerr_t plexord_set_listen(const char *address, int port);
/* The port listened on now; 0 when not listening. */
PLEXORD_API int plexord_get_listen_port(void);

/* ======================================================================
 * Scheduler
 * ====================================================================== */

typedef struct plexord_scheduler scheduler_t;

/* The core's scheduler; set by plexord_init, null outside init..finalize. */
PLEXORD_API extern scheduler_t *g_sched;

enum { SCHED_TASK_COPY = 0, SCHED_TASK_FIXED = 1, SCHED_TASK_CONDITION = 2 };
enum {
    SCHED_OP_EQ = 1, /* is equal to */
    SCHED_OP_GT = 2, /* is greater than */
    SCHED_OP_GE = 3, /* is not less than */
    SCHED_OP_LT = 4, /* is less than */
    SCHED_OP_LE = 5, /* is not greater than */
    SCHED_OP_NE = 6  /* is not equal to */
};

/* A setpoint or a fixed value. Texts are made with ux_strdup; replace them
 * freeing the old text with ux_free_if_not_null. Null means "". */
typedef struct sched_operand {
    int is_fixed;        /* 1: value is used; 0: the setpoint is read */
    uint16_t device_id;
    char *item;
    char *flag;
    double value;
} sched_operand_t;

typedef struct sched_target {
    uint16_t device_id;
    char *item;
    char *flag;
} sched_target_t;

/* Condition of a type 2 task; read and written directly with the task
 * fetched (mode 1 to write). */
typedef struct sched_condition {
    sched_operand_t left;
    int op;                 /* SCHED_OP_* */
    sched_operand_t right;
    sched_target_t then_target;
    double then_value;
    int do_nothing_else;    /* 1: nothing is written when the test fails */
    sched_target_t else_target;
    double else_value;
} sched_condition_t;

/* A task record. Read fields directly while fetched; change them with the
 * setters below (or the condition directly), fetched in mode 1. */
typedef struct sched_task {
    int id;
    char *name;                 /* may be null */
    int type;                   /* SCHED_TASK_* */
    ux_datetime_t first;        /* first run */
    long interval;              /* seconds between runs; <= 0 runs once */
    uint16_t source_device_id;  /* type 0 */
    char *source_item;
    char *source_flag;
    uint16_t target_device_id;  /* types 0 and 1 */
    char *target_item;
    char *target_flag;
    double fixed_value;         /* type 1 */
    sched_condition_t condition; /* type 2 */
} sched_task_t;

/* A new task of the type with a fresh id, first run now and an interval of
 * 60 s; not scheduled until scheduler_add_task. Valid until finalize. */
PLEXORD_API sched_task_t *scheduler_task_new(int type);
/* flags must be 0. */
PLEXORD_API ncerr_t scheduler_add_task(scheduler_t *sched, sched_task_t *task, int flags);
PLEXORD_API ncerr_t scheduler_remove_task(scheduler_t *sched, int id);
PLEXORD_API int scheduler_get_task_count(scheduler_t *sched);
/* Mode 0 shared, 1 exclusive; waits up to 3 s; null when unknown. */
PLEXORD_API sched_task_t *scheduler_fetch_task(scheduler_t *sched, int id, int mode);
/* Gives the task back; the scheduler picks up its changes. */
PLEXORD_API void scheduler_drop_task(scheduler_t *sched, sched_task_t *task);
/* Per-thread snapshot in id order; get_next gives -1 at the end. */
PLEXORD_API void scheduler_iterate_start(scheduler_t *sched);
PLEXORD_API int scheduler_iterate_get_next(scheduler_t *sched);
PLEXORD_API void scheduler_iterate_end(scheduler_t *sched);

PLEXORD_API int scheduler_task_get_id(sched_task_t *task);
PLEXORD_API const char *scheduler_task_get_name(sched_task_t *task);
PLEXORD_API int scheduler_task_get_type(sched_task_t *task);
PLEXORD_API ncerr_t scheduler_task_set_name(sched_task_t *task, const char *name);
/* Changes the type, keeping the other fields. */
PLEXORD_API ncerr_t scheduler_task_change_type(sched_task_t *task, int type);
PLEXORD_API ux_datetime_t scheduler_task_get_first_date_time(sched_task_t *task);
PLEXORD_API ncerr_t scheduler_task_set_first_date_time(sched_task_t *task, ux_datetime_t first);
PLEXORD_API long scheduler_task_get_interval(sched_task_t *task);
PLEXORD_API ncerr_t scheduler_task_set_interval(sched_task_t *task, long seconds);
/* The interval as whole days and the remaining seconds. */
PLEXORD_API void scheduler_task_get_interval_span(sched_task_t *task, int *days, int *seconds);
PLEXORD_API double scheduler_task_get_fixed_value(sched_task_t *task);
PLEXORD_API ncerr_t scheduler_task_set_fixed_value(sched_task_t *task, double value);
PLEXORD_API ncerr_t scheduler_task_set_source_device(sched_task_t *task, uint16_t device_id);
PLEXORD_API ncerr_t scheduler_task_set_source_item(sched_task_t *task, const char *item);
PLEXORD_API ncerr_t scheduler_task_set_source_flag(sched_task_t *task, const char *flag);
PLEXORD_API ncerr_t scheduler_task_set_target_device(sched_task_t *task, uint16_t device_id);
PLEXORD_API ncerr_t scheduler_task_set_target_item(sched_task_t *task, const char *item);
PLEXORD_API ncerr_t scheduler_task_set_target_flag(sched_task_t *task, const char *flag);
PLEXORD_API sched_condition_t *scheduler_task_get_condition(sched_task_t *task);

#ifdef __cplusplus
}
#endif

#endif
