/* C shim over the Open vSwitch control-socket protocol ("unixctl": JSON-RPC over a Unix socket), for the C++
 * classes in Unixctl.h.
 *
 * Only unixctl_shim.c includes Open vSwitch headers. The server side is served from the library's listening
 * stream and JSON-RPC connections rather than from its unixctl server, whose connections are unbounded in number,
 * in request size and in time (a client that never reads or never finishes its request holds its descriptor and
 * its memory for good, and a failing accept() makes the loop spin). Here each server has its own limits
 * (struct qor_unixctl_limits), and a request goes straight to the server's dispatch function, so servers of one
 * process never share commands. The client side is the library's JSON-RPC client.
 *
 * The library's fatal-signal module is initialised once without letting it install signal handlers, so it never
 * takes SIGTERM, SIGINT, SIGHUP or SIGALRM away from the process; its log output goes to standard error only, for
 * errors, and never to syslog.
 * A server is used by one thread (its loop); qor_unixctl_server_wake() may be called from any thread. */
#ifndef QOR_PLATFORM_OVS_UNIXCTL_SHIM_H
#define QOR_PLATFORM_OVS_UNIXCTL_SHIM_H 1

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct qor_unixctl_server;

/* Handles one request: argv[0] is the command name, argc counts it. Sets '*reply' to a malloc'd text (or NULL for
 * an empty one), which the shim frees. Returns nonzero for a success reply, 0 for an error reply. */
typedef int qor_unixctl_dispatch_fn(void *context, int argc, const char *argv[], char **reply);
/* Tells the server's owner about a client the server gave up on, or about trouble accepting clients. */
typedef void qor_unixctl_note_fn(void *context, const char *text);

/* What one server grants its clients. */
struct qor_unixctl_limits {
  /* Clients served at once; further ones wait in the socket's listen queue until one leaves. */
  int max_connections;
  /* A request still incomplete after this many bytes closes its connection. */
  unsigned int max_request_bytes;
  /* Replies not yet taken by their clients, all connections together; above it the client with the largest one is
   * disconnected. */
  size_t max_backlog_bytes;
  /* A connection that neither sends nor takes anything for this long is closed. */
  int idle_timeout_ms;
  /* After accept() fails (out of descriptors, mostly), the listener rests this long instead of spinning. */
  int accept_retry_ms;
};

/* Listens on the Unix socket 'path' (an existing file there is replaced). Returns 0 or a positive errno value. */
int qor_unixctl_server_create(const char *path, const struct qor_unixctl_limits *, qor_unixctl_dispatch_fn *dispatch,
                              qor_unixctl_note_fn *note, void *context, struct qor_unixctl_server **serverp);
/* Serves what is ready, then blocks until a client does something, a time limit falls due or the server is
 * woken. */
void qor_unixctl_server_run_once(struct qor_unixctl_server *);
/* Makes a blocked qor_unixctl_server_run_once() return; any thread. */
void qor_unixctl_server_wake(struct qor_unixctl_server *);
/* Clients connected now; any thread. */
int qor_unixctl_server_connections(const struct qor_unixctl_server *);
/* Closes every connection and the socket, and removes the socket file. Not while its loop runs. */
void qor_unixctl_server_destroy(struct qor_unixctl_server *);

/* The program's and the library's version, as the library's own "version" command answers. */
const char *qor_unixctl_version(void);

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
