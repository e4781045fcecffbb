/* The ABI between the server core and its network plug-ins.
 *
 * A plug-in is a shared object in the plug-in folder exporting
 *     const pxp_plugin_t *plexord_plugin_describe(void);
 * which lists the network types it provides. For each type a table of
 * operations creates and drives network objects. No exception may leave a
 * plug-in function.
 *
 * Threading contract: the core calls create, destroy, the parameter
 * functions, start and stop one at a time per network object, never while
 * connect or perform runs on it. connect and perform run on the network's
 * worker thread. Only abort may be called from another thread while they
 * run. start must not wait on a device: it records what to connect to, and
 * the link is made on the worker thread. */
#ifndef PLEXORD_PLUGIN_H
#define PLEXORD_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PXP_ABI_VERSION 3
#define PXP_ENTRY_POINT "plexord_plugin_describe"
#define PXP_EXPORT __attribute__((visibility("default")))

/* Parameter kinds; the same values as NETWORK_PARAM_* of plexord.h. */
enum { PXP_PARAM_TEXT = 1, PXP_PARAM_INTEGER = 2, PXP_PARAM_FLAG = 3 };
/* A text that the configuration file keeps encrypted; got and set as text. */
enum { PXP_PARAM_SECRET = 4 };

typedef struct pxp_param {
    const char *key;
    int kind;
} pxp_param_t;

enum { PXP_READ = 0, PXP_WRITE = 1 };
enum { PXP_INTEGER = 0, PXP_FLOAT = 1 };

/* Failure classes a plug-in reports beside its own status code; the same
 * values as the NCERR_* classes of plexord.h. */
enum {
    PXP_OK = 1,
    PXP_FAIL_TIMEOUT = 5,
    PXP_FAIL_UNKNOWN_SETPOINT = 6,
    PXP_FAIL_ACCESS_DENIED = 7,
    PXP_FAIL_INVALID = 8,
    PXP_FAIL_DRIVER = 9,
    PXP_FAIL_READ_ONLY = 11,
    PXP_FAIL_IO = 12,
    PXP_FAIL_ABORTED = 16
};

/* One read or write of a batch. */
typedef struct pxp_request {
    const char *address; /* the device's address text, never null */
    const char *item;    /* never null */
    const char *flag;    /* never null, "" for none */
    int op;              /* PXP_READ or PXP_WRITE */
    int kind;            /* PXP_INTEGER or PXP_FLOAT: how the value is meant */
    int64_t ivalue;      /* in for integer writes, out for reads */
    double fvalue;       /* in for float writes, out for reads */
    int result;          /* out: PXP_OK or a PXP_FAIL_* class */
    int status;          /* out: the plug-in's own status code, 0 on success */
    /* The device's documentation file (its own, else its hardware type's),
     * a full path; null when it has none. Some types take names from it. */
    const char *doc_path;
} pxp_request_t;

/* What the core offers a network object. */
typedef struct pxp_host {
    const char *config_dir; /* relative file names are taken against it */
    const char *data_dir;
    /* A log line for the core's log; " * " information, " ! " failure. */
    void (*log)(void *ctx, const char *line);
    void *ctx;
} pxp_host_t;

typedef struct pxp_type {
    const char *key;   /* network type key, e.g. "db" */
    const char *label; /* shown to the operator, e.g. "Database" */
    const pxp_param_t *params; /* the type's parameters ("name" is the core's) */
    int param_count;

    /* A new network object with default parameters; the host record stays
     * valid while the object lives. Null on failure. */
    void *(*create)(const pxp_host_t *host);
    void (*destroy)(void *net);

    /* Parameters: 0 on success, else a status code. A text got stays valid
     * until the next call on the object. */
    int (*get_text)(void *net, const char *key, const char **value);
    int (*get_integer)(void *net, const char *key, int *value);
    int (*set_text)(void *net, const char *key, const char *value);
    int (*set_integer)(void *net, const char *key, int value);

    /* 0 on success, else a status code. Start only checks and records the
     * parameters; it returns at once. */
    int (*start)(void *net);
    void (*stop)(void *net);

    /* Performs the batch in order, filling in each request's result,
     * status and, for reads, the value of the request's kind (the core
     * derives the other). Answers 0, or a status code when the whole batch
     * failed (the core then fails every request with it). Each exchange is
     * bounded by the plug-in's time-outs. After it the core reads the
     * parameters back (on the worker thread), so a batch may change one. */
    int (*perform)(void *net, pxp_request_t *requests, int count);
    /* Optional (may be null): makes a running connect or perform return
     * soon, and every later one until the next start; the core calls it
     * from any thread when it stops the network, between start and stop.
     * It must not block. */
    void (*abort)(void *net);

    /* Text for a status code of this plug-in; never null. */
    const char *(*status_text)(int status);

    /* Optional (may be null): makes the link to the devices now, so that the
     * log tells at once whether they are reachable. Called on the worker
     * thread right after start, before the first perform; bounded by the
     * plug-in's time-outs and cut by abort. A failure is the plug-in's to
     * log; perform tries again. */
    void (*connect)(void *net);
} pxp_type_t;

typedef struct pxp_plugin {
    int abi_version; /* PXP_ABI_VERSION */
    const char *name;
    int type_count;
    const pxp_type_t *const *types;
} pxp_plugin_t;

typedef const pxp_plugin_t *(*pxp_describe_fn)(void);

#ifdef __cplusplus
}
#endif

#endif
