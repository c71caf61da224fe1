/* C shim over the Open vSwitch unixctl server and client, for the C++ classes in Unixctl.h.
 *
 * Only unixctl_shim.c includes Open vSwitch headers. The library keeps one process-wide command table and is not
 * written for several server threads; the shim makes that safe:
 *   - every command name is registered once, process-wide, to one trampoline; the trampoline hands each request
 *     to the dispatch function of the server whose thread is serving it, so each server has its own commands;
 *   - the command table is guarded by a read-write lock: registration writes, a server's run step reads;
 *   - the library's fatal-signal module is initialised once without letting it install signal handlers, so it
 *     never takes SIGTERM, SIGINT, SIGHUP or SIGALRM away from the process; its log output goes to standard error
 *     only, for errors, and never to syslog.
 * A server is used by one thread (its loop); qor_unixctl_server_wake() may be called from any thread. */
#ifndef QOR_PLATFORM_OVS_UNIXCTL_SHIM_H
#define QOR_PLATFORM_OVS_UNIXCTL_SHIM_H 1

#ifdef __cplusplus
extern "C" {
#endif

struct qor_unixctl_server;

/* Handles one request: argv[0] is the command name, argc counts it. Sets '*reply' to a malloc'd text (or NULL for
 * an empty one), which the shim frees. Returns nonzero for a success reply, 0 for an error reply. */
typedef int qor_unixctl_dispatch_fn(void *context, int argc, const char *argv[], char **reply);

/* Registers 'name' process-wide (usage shown by "list-commands"; the first registration's usage stays). Must not
 * be called while the calling thread is inside qor_unixctl_server_run_once(). Names the library registers itself
 * ("list-commands", "version", "vlog/...") must not be passed: the library aborts on them. */
void qor_unixctl_register_name(const char *name, const char *usage);

/* Listens on the Unix socket 'path' (an existing file there is replaced). Returns 0 or a positive errno value. */
int qor_unixctl_server_create(const char *path, qor_unixctl_dispatch_fn *dispatch, void *context,
                              struct qor_unixctl_server **serverp);
/* Serves what is ready, then blocks until a client does something or the server is woken. */
void qor_unixctl_server_run_once(struct qor_unixctl_server *);
/* Makes a blocked qor_unixctl_server_run_once() return; any thread. */
void qor_unixctl_server_wake(struct qor_unixctl_server *);
/* Closes every connection and the socket, and removes the socket file. Not while its loop runs. */
void qor_unixctl_server_destroy(struct qor_unixctl_server *);

/* Sends one command to the server at 'path' and waits for the answer at most 'timeout_ms'. Returns 0 when the
 * server answered: then exactly one of '*result' (success) and '*error' (error reply) is set, malloc'd, for the
 * caller to free with qor_unixctl_free(). Otherwise returns a positive errno value (ETIMEDOUT on time-out,
 * ECONNRESET when the server closed the connection). */
int qor_unixctl_call(const char *path, const char *command, int argc, const char *const argv[], int timeout_ms,
                     char **result, char **error);
void qor_unixctl_free(char *text);

#ifdef __cplusplus
}
#endif

#endif /* QOR_PLATFORM_OVS_UNIXCTL_SHIM_H */
