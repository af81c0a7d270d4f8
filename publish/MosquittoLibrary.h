#pragma once
// libmosquitto, loaded when a program first publishes. Linked in, it and the TLS libraries it
// needs were loaded and relocated at every start, some 5 ms of the window's start-up; most
// starts never publish.
#include <QString>
#include <mosquitto.h>

// The calls LivePublisher makes, by their names in mosquitto.h.
#define DCLOAD_MOSQUITTO_CALLS(X)                                                               \
    X(mosquitto_lib_init)                                                                       \
    X(mosquitto_new)                                                                            \
    X(mosquitto_destroy)                                                                        \
    X(mosquitto_connect_callback_set)                                                           \
    X(mosquitto_disconnect_callback_set)                                                        \
    X(mosquitto_publish_callback_set)                                                           \
    X(mosquitto_reconnect_delay_set)                                                            \
    X(mosquitto_will_set)                                                                       \
    X(mosquitto_username_pw_set)                                                                \
    X(mosquitto_tls_set)                                                                        \
    X(mosquitto_connect_async)                                                                  \
    X(mosquitto_loop_start)                                                                     \
    X(mosquitto_loop_stop)                                                                      \
    X(mosquitto_disconnect)                                                                     \
    X(mosquitto_publish)                                                                        \
    X(mosquitto_strerror)                                                                       \
    X(mosquitto_connack_string)

struct MosquittoCalls
{
#define DCLOAD_MOSQUITTO_MEMBER(name) decltype(&::name) name = nullptr;
    DCLOAD_MOSQUITTO_CALLS(DCLOAD_MOSQUITTO_MEMBER)
#undef DCLOAD_MOSQUITTO_MEMBER
};

inline constexpr const char* kMosquittoLibrary = "libmosquitto.so.1";

// Loads `library` (kept loaded for the rest of the process) and finds every call in it; on
// failure `calls` is untouched and the message says what is missing, for the operator
// ("Publishing needs libmosquitto: …").
bool LoadMosquitto(const char* library, MosquittoCalls& calls, QString& error);

// The calls from kMosquittoLibrary, loaded and initialised on first use. Throws
// EPublishSetup when the library cannot be loaded.
const MosquittoCalls& Mosquitto();
