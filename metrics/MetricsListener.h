/* A small HTTP listener that answers GET /metrics with the text a render
 * function writes, on a thread of its own. A peer costs nothing but its own
 * connection: each may send a request of at most MetricsRequestLimit bytes
 * and is closed MetricsConnectionMs after it came, read or not; at most
 * MetricsConnectionLimit are kept, the oldest closed for a new one; no
 * socket ever blocks the thread. */
#ifndef TFX_METRICS_METRICSLISTENER_H
#define TFX_METRICS_METRICSLISTENER_H

#include <cstddef>
#include <netinet/in.h>

#include "metrics/TextExposition.h"

enum : size_t {
    MetricsRequestLimit = 8192,
    MetricsConnectionLimit = 16,
    MetricsConnectionMs = 5000,
};

/* Writes the whole exposition into out; called on the listener's thread. */
typedef void (*MetricsRender)(MetricsText *out, void *context);

/* Reads where to listen: a bare port ("9464") is 127.0.0.1 at that port;
 * any other address is given in full as an IPv4 address and a port
 * ("0.0.0.0:9464"). False, with *why saying what is wrong, otherwise. */
bool ParseMetricsAddress(const char *text, sockaddr_in *address, const char **why);

struct MetricsServer;

/* Binds address and starts serving. Null, with the reason in why (the
 * failing call and the system's text), when it cannot. */
MetricsServer *StartMetricsServer(const sockaddr_in &address, MetricsRender render, void *context,
                                  char *why, size_t whySize);

/* The replies written whole so far; read from any thread. */
uint64_t MetricsRepliesSent(const MetricsServer *server);

/* Stops the thread, closes every connection and frees the server. */
void StopMetricsServer(MetricsServer *server);

#endif
