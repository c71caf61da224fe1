#include "platform/ovs/unixctl_shim.h"

#include <config.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include "fatal-signal.h"
#include "jsonrpc.h"
#include "latch.h"
#include "openvswitch/json.h"
#include "openvswitch/poll-loop.h"
#include "openvswitch/vlog.h"
#include "socket-util.h"
#include "sset.h"
#include "stream.h"
#include "timeval.h"
#include "unixctl.h"
#include "util.h"

#ifndef QOR_BUILD_NUMBER
#define QOR_BUILD_NUMBER "unknown"
#endif

struct qor_unixctl_server {
  struct unixctl_server *server;
  struct latch wake;
  qor_unixctl_dispatch_fn *dispatch;
  void *context;
};

static pthread_once_t init_once = PTHREAD_ONCE_INIT;
static pthread_rwlock_t commands_lock = PTHREAD_RWLOCK_INITIALIZER;
/* Names registered through the shim (under commands_lock for writing). */
static struct sset registered = SSET_INITIALIZER(&registered);
/* The server whose loop runs on this thread, while it runs. */
static _Thread_local struct qor_unixctl_server *current_server;

static const int guarded_signals[] = {SIGTERM, SIGINT, SIGHUP, SIGALRM};
#define N_GUARDED (sizeof guarded_signals / sizeof guarded_signals[0])
static volatile sig_atomic_t held[N_GUARDED];

static void hold_signal(int sig) {
  for (size_t i = 0; i < N_GUARDED; i++) {
    if (guarded_signals[i] == sig) {
      held[i] = 1;
    }
  }
}

/* The fatal-signal module installs its own handlers on the signals that still have the default action when it
 * is first used (which the poll loop does). Those handlers end the process from whichever thread polls next, so
 * the agent's own SIGTERM handling would never run. Initialise the module while every guarded signal has a
 * holding handler, then put back what was there and deliver what arrived meanwhile. */
static void init_fatal_signals(void) {
  struct sigaction old[N_GUARDED];
  struct sigaction old_segv;

  for (size_t i = 0; i < N_GUARDED; i++) {
    sigaction(guarded_signals[i], NULL, &old[i]);
    if (!(old[i].sa_flags & SA_SIGINFO) && old[i].sa_handler == SIG_DFL) {
      struct sigaction holding;
      memset(&holding, 0, sizeof holding);
      holding.sa_handler = hold_signal;
      sigemptyset(&holding.sa_mask);
      sigaction(guarded_signals[i], &holding, NULL);
    }
  }
  sigaction(SIGSEGV, NULL, &old_segv);
  fatal_signal_init();
  sigaction(SIGSEGV, &old_segv, NULL);
  for (size_t i = 0; i < N_GUARDED; i++) {
    sigaction(guarded_signals[i], &old[i], NULL);
  }
  for (size_t i = 0; i < N_GUARDED; i++) {
    if (held[i]) {
      raise(guarded_signals[i]);
    }
  }
}

static void do_init(void) {
  if (!program_name) {
    ovs_set_program_name(program_invocation_short_name, QOR_BUILD_NUMBER);
  }
  /* The library's log goes to standard error for errors only; syslog belongs to the agent's own logger, and
   * letting the library open it would change the process's syslog identity. */
  vlog_set_syslog_method("null");
  vlog_set_levels(NULL, VLF_SYSLOG, VLL_OFF);
  vlog_set_levels(NULL, VLF_FILE, VLL_OFF);
  vlog_set_levels(NULL, VLF_CONSOLE, VLL_ERR);
  /* vlog_init() registers its commands: do it now, under the table lock, rather than on first use. */
  pthread_rwlock_wrlock(&commands_lock);
  vlog_init();
  pthread_rwlock_unlock(&commands_lock);
  init_fatal_signals();
}

static void init(void) {
  pthread_once(&init_once, do_init);
}

static void trampoline(struct unixctl_conn *conn, int argc, const char *argv[], void *aux OVS_UNUSED) {
  struct qor_unixctl_server *server = current_server;
  char *reply = NULL;
  int ok;

  if (!server) {
    unixctl_command_reply_error(conn, "no server is serving this thread");
    return;
  }
  ok = server->dispatch(server->context, argc, argv, &reply);
  if (ok) {
    unixctl_command_reply(conn, reply ? reply : "");
  } else {
    unixctl_command_reply_error(conn, reply ? reply : "");
  }
  free(reply);
}

void qor_unixctl_register_name(const char *name, const char *usage) {
  init();
  pthread_rwlock_wrlock(&commands_lock);
  if (!sset_contains(&registered, name)) {
    sset_add(&registered, name);
    /* Argument counts are checked per server by the dispatch function. The library keeps 'usage' by
     * pointer, for the life of the process. */
    unixctl_command_register(name, xstrdup(usage ? usage : ""), 0, INT_MAX, trampoline, NULL);
  }
  pthread_rwlock_unlock(&commands_lock);
}

int qor_unixctl_server_create(const char *path, qor_unixctl_dispatch_fn *dispatch, void *context,
                              struct qor_unixctl_server **serverp) {
  struct qor_unixctl_server *server;
  int error;

  init();
  *serverp = NULL;
  server = xzalloc(sizeof *server);
  pthread_rwlock_wrlock(&commands_lock);
  error = unixctl_server_create(path, &server->server);
  pthread_rwlock_unlock(&commands_lock);
  if (error) {
    free(server);
    return error;
  }
  if (!server->server) {
    /* The path "none": nothing to serve. */
    free(server);
    return EINVAL;
  }
  latch_init(&server->wake);
  server->dispatch = dispatch;
  server->context = context;
  *serverp = server;
  return 0;
}

void qor_unixctl_server_run_once(struct qor_unixctl_server *server) {
  pthread_rwlock_rdlock(&commands_lock);
  current_server = server;
  unixctl_server_run(server->server);
  current_server = NULL;
  pthread_rwlock_unlock(&commands_lock);

  unixctl_server_wait(server->server);
  latch_wait(&server->wake);
  poll_block();
  latch_poll(&server->wake);
}

void qor_unixctl_server_wake(struct qor_unixctl_server *server) {
  latch_set(&server->wake);
}

void qor_unixctl_server_destroy(struct qor_unixctl_server *server) {
  if (server) {
    unixctl_server_destroy(server->server);
    latch_destroy(&server->wake);
    free(server);
  }
}

static int reply_text(const struct json *value, char **out) {
  if (value->type != JSON_STRING) {
    return EINVAL;
  }
  *out = xstrdup(json_string(value));
  return 0;
}

int qor_unixctl_call(const char *path, const char *command, int argc, const char *const argv[], int timeout_ms,
                     char **result, char **error) {
  struct jsonrpc *rpc;
  struct jsonrpc_msg *request;
  struct jsonrpc_msg *reply = NULL;
  struct json **args;
  struct json *id;
  long long int deadline;
  int err;

  init();
  *result = NULL;
  *error = NULL;
  deadline = time_msec() + (timeout_ms > 0 ? timeout_ms : 0);

  /* As unixctl_client_create(), but a server too busy to accept does not block the caller for ever. */
  char *target = xasprintf("unix:%s", path);
  struct stream *stream = NULL;
  err = stream_open_block(stream_open(target, &stream, DSCP_DEFAULT), timeout_ms > 0 ? timeout_ms : 0, &stream);
  free(target);
  if (err) {
    return err;
  }
  rpc = jsonrpc_open(stream);

  args = xmalloc((argc > 0 ? argc : 1) * sizeof *args);
  for (int i = 0; i < argc; i++) {
    args[i] = json_string_create(argv[i]);
  }
  request = jsonrpc_create_request(command, json_array_create(args, argc), NULL);
  id = json_clone(request->id);

  err = jsonrpc_send(rpc, request);
  while (!err) {
    jsonrpc_run(rpc);
    err = jsonrpc_recv(rpc, &reply);
    if (!err) {
      if ((reply->type == JSONRPC_REPLY || reply->type == JSONRPC_ERROR) && reply->id && json_equal(reply->id, id)) {
        break;
      }
      jsonrpc_msg_destroy(reply);
      reply = NULL;
      continue;
    }
    if (err != EAGAIN) {
      break;
    }
    err = 0;
    if (time_msec() >= deadline) {
      err = ETIMEDOUT;
      break;
    }
    jsonrpc_wait(rpc);
    jsonrpc_recv_wait(rpc);
    poll_timer_wait_until(deadline);
    poll_block();
  }
  if (err == EOF) {
    err = ECONNRESET;
  }
  if (!err) {
    err = reply->error ? reply_text(reply->error, error) : reply->result ? reply_text(reply->result, result) : EINVAL;
  }
  jsonrpc_msg_destroy(reply);
  json_destroy(id);
  jsonrpc_close(rpc);
  return err;
}

void qor_unixctl_free(char *text) {
  free(text);
}
