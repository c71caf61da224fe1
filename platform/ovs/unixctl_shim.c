#include "platform/ovs/unixctl_shim.h"

#include <config.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdlib.h>
#include <string.h>

#include "fatal-signal.h"
#include "jsonrpc.h"
#include "latch.h"
#include "openvswitch/json.h"
#include "openvswitch/poll-loop.h"
#include "openvswitch/vlog.h"
#include "socket-util.h"
#include "stream.h"
#include "timeval.h"
#include "util.h"

#ifndef QOR_BUILD_NUMBER
#define QOR_BUILD_NUMBER "unknown"
#endif

struct qor_unixctl_conn {
  struct ovs_list node;
  struct jsonrpc *rpc;
  unsigned int request_start; /* received-bytes count where the request being read began */
  unsigned int received;      /* received-bytes count at the last look */
  size_t backlog;             /* reply bytes not yet taken, at the last look */
  long long int last_activity;
};

struct qor_unixctl_server {
  struct pstream *listener;
  struct ovs_list conns;
  atomic_int n_conns;
  struct qor_unixctl_limits limits;
  long long int accept_resume; /* no accept() before this time (after a failure) */
  struct latch wake;
  qor_unixctl_dispatch_fn *dispatch;
  qor_unixctl_note_fn *note;
  void *context;
};

static pthread_once_t init_once = PTHREAD_ONCE_INIT;

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
  vlog_init();
  init_fatal_signals();
}

static void init(void) {
  pthread_once(&init_once, do_init);
}

static void note(struct qor_unixctl_server *server, char *text) {
  if (server->note) {
    server->note(server->context, text);
  }
  free(text);
}

int qor_unixctl_server_create(const char *path, const struct qor_unixctl_limits *limits,
                              qor_unixctl_dispatch_fn *dispatch, qor_unixctl_note_fn *note_fn, void *context,
                              struct qor_unixctl_server **serverp) {
  struct pstream *listener;
  char *name;
  int error;

  init();
  *serverp = NULL;
  name = xasprintf("punix:%s", path);
  error = pstream_open(name, &listener, 0);
  free(name);
  if (error) {
    return error;
  }
  struct qor_unixctl_server *server = xzalloc(sizeof *server);
  server->listener = listener;
  ovs_list_init(&server->conns);
  atomic_init(&server->n_conns, 0);
  server->limits = *limits;
  server->accept_resume = LLONG_MIN;
  latch_init(&server->wake);
  server->dispatch = dispatch;
  server->note = note_fn;
  server->context = context;
  *serverp = server;
  return 0;
}

static void close_connection(struct qor_unixctl_server *server, struct qor_unixctl_conn *conn) {
  ovs_list_remove(&conn->node);
  jsonrpc_close(conn->rpc);
  free(conn);
  atomic_store(&server->n_conns, atomic_load(&server->n_conns) - 1);
}

static void accept_connections(struct qor_unixctl_server *server, long long int now) {
  if (now < server->accept_resume) {
    return;
  }
  while (atomic_load(&server->n_conns) < server->limits.max_connections) {
    struct stream *stream;
    int error = pstream_accept(server->listener, &stream);
    if (error == EAGAIN) {
      return;
    }
    if (error) {
      /* The connection stays in the listen queue; polling the listener again now would only spin. */
      server->accept_resume = now + server->limits.accept_retry_ms;
      note(server, xasprintf("cannot accept a client: %s; next try in %d ms", ovs_strerror(error),
                             server->limits.accept_retry_ms));
      return;
    }
    struct qor_unixctl_conn *conn = xzalloc(sizeof *conn);
    conn->rpc = jsonrpc_open(stream);
    conn->last_activity = now;
    ovs_list_push_back(&server->conns, &conn->node);
    atomic_store(&server->n_conns, atomic_load(&server->n_conns) + 1);
  }
}

/* Answers one request as the library's unixctl server would: a text result or a text error, ending in a newline
 * unless empty. */
static void answer(struct qor_unixctl_server *server, struct qor_unixctl_conn *conn,
                   const struct jsonrpc_msg *request) {
  const struct json_array *params = json_array(request->params);
  const char **argv = xmalloc(((size_t)params->n + 2) * sizeof *argv);
  char *reply = NULL;
  int ok = 0;

  argv[0] = request->method;
  for (size_t i = 0; i < (size_t)params->n; i++) {
    if (params->elems[i]->type != JSON_STRING) {
      reply = xasprintf("\"%s\" command has non-string argument", request->method);
      break;
    }
    argv[i + 1] = json_string(params->elems[i]);
  }
  argv[params->n + 1] = NULL;
  if (!reply) {
    ok = server->dispatch(server->context, (int)params->n + 1, argv, &reply);
  }
  free(argv);

  const char *body = reply ? reply : "";
  size_t length = strlen(body);
  struct json *text =
      json_string_create_nocopy(length && body[length - 1] != '\n' ? xasprintf("%s\n", body) : xstrdup(body));
  free(reply);
  jsonrpc_send(conn->rpc, ok ? jsonrpc_create_reply(text, request->id) : jsonrpc_create_error(text, request->id));
}

/* Serves one connection; false when it is to be closed. Reads no request while a reply waits for the client. */
static bool run_connection(struct qor_unixctl_server *server, struct qor_unixctl_conn *conn, long long int now) {
  const struct qor_unixctl_limits *limits = &server->limits;

  jsonrpc_run(conn->rpc);
  if (jsonrpc_get_status(conn->rpc)) {
    return false;
  }
  size_t backlog = jsonrpc_get_backlog(conn->rpc);
  if (backlog < conn->backlog) {
    conn->last_activity = now;
  }
  conn->backlog = backlog;
  for (int i = 0; i < 10 && !conn->backlog; i++) {
    struct jsonrpc_msg *msg;
    int error = jsonrpc_recv(conn->rpc, &msg);
    unsigned int received = jsonrpc_get_received_bytes(conn->rpc);
    if (received != conn->received) {
      conn->received = received;
      conn->last_activity = now;
    }
    if (error) {
      if (error != EAGAIN) {
        return false;
      }
      if (received - conn->request_start > limits->max_request_bytes) {
        note(server, xasprintf("a client's request exceeds %u bytes: connection closed", limits->max_request_bytes));
        return false;
      }
      break;
    }
    conn->request_start = received;
    if (msg->type != JSONRPC_REQUEST) {
      jsonrpc_msg_destroy(msg);
      return false;
    }
    answer(server, conn, msg);
    jsonrpc_msg_destroy(msg);
    jsonrpc_run(conn->rpc);
    if (jsonrpc_get_status(conn->rpc)) {
      return false;
    }
    conn->backlog = jsonrpc_get_backlog(conn->rpc);
    /* A handler may have taken a while: the reply is as fresh as the clock says. */
    conn->last_activity = time_msec();
  }
  if (now - conn->last_activity >= limits->idle_timeout_ms) {
    if (conn->backlog) {
      note(server,
           xasprintf("a client took no part of its reply for %d ms: connection closed", limits->idle_timeout_ms));
    }
    return false;
  }
  return true;
}

/* Keeps the replies that clients have not taken within the limit: the client that has taken nothing for the
 * longest goes first, so that one reading its reply right now is kept. */
static void shed_backlog(struct qor_unixctl_server *server) {
  for (;;) {
    struct qor_unixctl_conn *conn, *stalest = NULL;
    size_t total = 0;
    LIST_FOR_EACH(conn, node, &server->conns) {
      total += conn->backlog;
      if (conn->backlog && (!stalest || conn->last_activity < stalest->last_activity)) {
        stalest = conn;
      }
    }
    if (total <= server->limits.max_backlog_bytes || stalest->backlog == total) {
      /* A single reply larger than the limit is still delivered to a client that reads it. */
      return;
    }
    note(server, xasprintf("replies not taken by their clients exceed %zu bytes: a client with %zu bytes pending is "
                           "disconnected",
                           server->limits.max_backlog_bytes, stalest->backlog));
    close_connection(server, stalest);
  }
}

void qor_unixctl_server_run_once(struct qor_unixctl_server *server) {
  long long int now = time_msec();
  struct qor_unixctl_conn *conn;

  accept_connections(server, now);
  LIST_FOR_EACH_SAFE(conn, node, &server->conns) {
    if (!run_connection(server, conn, now)) {
      close_connection(server, conn);
    }
  }
  shed_backlog(server);

  if (atomic_load(&server->n_conns) < server->limits.max_connections) {
    if (now < server->accept_resume) {
      poll_timer_wait_until(server->accept_resume);
    } else {
      pstream_wait(server->listener);
    }
  }
  LIST_FOR_EACH(conn, node, &server->conns) {
    jsonrpc_wait(conn->rpc);
    if (!conn->backlog) {
      jsonrpc_recv_wait(conn->rpc);
    }
    poll_timer_wait_until(conn->last_activity + server->limits.idle_timeout_ms);
  }
  latch_wait(&server->wake);
  poll_block();
  latch_poll(&server->wake);
}

void qor_unixctl_server_wake(struct qor_unixctl_server *server) {
  latch_set(&server->wake);
}

int qor_unixctl_server_connections(const struct qor_unixctl_server *server) {
  return atomic_load(&((struct qor_unixctl_server *)server)->n_conns);
}

void qor_unixctl_server_destroy(struct qor_unixctl_server *server) {
  if (server) {
    struct qor_unixctl_conn *conn;
    LIST_FOR_EACH_SAFE(conn, node, &server->conns) {
      close_connection(server, conn);
    }
    pstream_close(server->listener);
    latch_destroy(&server->wake);
    free(server);
  }
}

const char *qor_unixctl_version(void) {
  init();
  return ovs_get_program_version();
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
