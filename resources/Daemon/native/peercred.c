// The uid of the process at the other end of a Unix socket, as the kernel recorded it when that
// process connected: what the gate checks before it reads a byte from a connection. Node has no
// way to ask for it.
#define _GNU_SOURCE
#define NAPI_VERSION 8
#include <errno.h>
#include <node_api.h>
#include <string.h>
#include <sys/socket.h>

// peerUid(fd) -> the peer's uid; throws (with the errno's name as code) where there is none.
static napi_value peer_uid(napi_env env, napi_callback_info info) {
    size_t argc = 1;
    napi_value argv[1];
    int32_t fd = -1;
    if (napi_get_cb_info(env, info, &argc, argv, NULL, NULL) != napi_ok || argc != 1 ||
        napi_get_value_int32(env, argv[0], &fd) != napi_ok || fd < 0) {
        napi_throw_type_error(env, "EINVAL", "peerUid takes a socket's file descriptor");
        return NULL;
    }
    struct ucred credentials;
    socklen_t size = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof credentials) {
        const int error = size != sizeof credentials ? EPROTO : errno;
        napi_throw_error(env, strerrorname_np(error), strerror(error));
        return NULL;
    }
    napi_value uid;
    if (napi_create_uint32(env, credentials.uid, &uid) != napi_ok) {
        return NULL;
    }
    return uid;
}

NAPI_MODULE_INIT() {
    napi_value function;
    if (napi_create_function(env, "peerUid", NAPI_AUTO_LENGTH, peer_uid, NULL, &function) !=
            napi_ok ||
        napi_set_named_property(env, exports, "peerUid", function) != napi_ok) {
        return NULL;
    }
    return exports;
}
