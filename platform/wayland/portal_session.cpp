#include "platform/wayland/portal_session.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <utility>
#include <vector>

#include "platform/wayland/dbus_library.h"

namespace vistrel::wayland {
namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
// The portal's calls answer at once; Start waits for a person at the dialog.
constexpr auto kCallTime = std::chrono::seconds(10);
constexpr auto kDialogTime = std::chrono::minutes(5);
constexpr std::uint32_t kSourceMonitor = 1;
constexpr std::uint32_t kPersistUntilRevoked = 2;
constexpr std::uint32_t kCursorHidden = 1, kCursorEmbedded = 2, kCursorMetadata = 4;
constexpr HRESULT kRefused = E_ACCESSDENIED;  // a CaptureError

// One a{sv} option.
struct Option {
    const char* key;
    int type;  // DBUS_TYPE_STRING, _UINT32 or _BOOLEAN
    std::string text;
    std::uint32_t number = 0;
};

Option text_option(const char* key, std::string text) { return {key, DBUS_TYPE_STRING, std::move(text)}; }
Option number_option(const char* key, std::uint32_t number) { return {key, DBUS_TYPE_UINT32, {}, number}; }

// What a Response's a{sv} results hold that a session needs.
struct Results {
    std::string session_handle, restore_token;
    bool has_stream = false;
    std::uint32_t node = 0;
};

}  // namespace

struct PortalSession::Bus {
    const DbusApi& api;
    DBusConnection* connection;
    std::string sender;  // the unique name as a request path element: ":1.42" -> "1_42"

    Bus(const DbusApi& library, DBusConnection* opened) : api(library), connection(opened) {}
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;
    ~Bus() {
        if (!connection) return;
        api.dbus_connection_close(connection);
        api.dbus_connection_unref(connection);
    }

    DBusMessage* method(const char* interface, const char* member) const {
        return api.dbus_message_new_method_call(kPortal, kPortalPath, interface, member);
    }

    void append_options(DBusMessageIter* into, const std::vector<Option>& options) const {
        DBusMessageIter array, entry, variant;
        api.dbus_message_iter_open_container(into, DBUS_TYPE_ARRAY, "{sv}", &array);
        for (const Option& option : options) {
            api.dbus_message_iter_open_container(&array, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
            api.dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &option.key);
            const char signature[2] = {static_cast<char>(option.type), 0};
            api.dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, signature, &variant);
            if (option.type == DBUS_TYPE_STRING) {
                const char* text = option.text.c_str();
                api.dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &text);
            } else {
                const dbus_uint32_t number = option.number;  // a dbus_bool_t is 32 bits too
                api.dbus_message_iter_append_basic(&variant, option.type, &number);
            }
            api.dbus_message_iter_close_container(&entry, &variant);
            api.dbus_message_iter_close_container(&array, &entry);
        }
        api.dbus_message_iter_close_container(into, &array);
    }

    void append_path(DBusMessageIter* into, const std::string& path) const {
        const char* text = path.c_str();
        api.dbus_message_iter_append_basic(into, DBUS_TYPE_OBJECT_PATH, &text);
    }

    // Sends `message` (taken) and reads until `handle` takes a message (true) or the
    // deadline, the bus's end or a signal ends the wait (false, `failure` filled).
    bool exchange(DBusMessage* message, Clock::time_point deadline, const char* what,
                  const std::function<bool(DBusMessage*, dbus_uint32_t serial, WlFailure&)>& handle,
                  WlFailure& failure) {
        if (!message) {
            failure = {E_OUTOFMEMORY, "out of memory for a portal message"};
            return false;
        }
        dbus_uint32_t serial = 0;
        const bool sent = api.dbus_connection_send(connection, message, &serial);
        api.dbus_message_unref(message);
        if (!sent) {
            failure = {E_OUTOFMEMORY, "out of memory sending a portal message"};
            return false;
        }
        api.dbus_connection_flush(connection);
        for (;;) {
            while (DBusMessage* incoming = api.dbus_connection_pop_message(connection)) {
                failure = {};
                const bool done = handle(incoming, serial, failure);
                api.dbus_message_unref(incoming);
                if (done) return failure.code == S_OK;
            }
            if (!api.dbus_connection_get_is_connected(connection)) {
                failure = {DXGI_ERROR_UNSUPPORTED, std::string("the session bus closed the connection during ") + what};
                return false;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                failure = {DXGI_ERROR_WAIT_TIMEOUT, std::string("the screen-cast portal did not answer ") + what};
                return false;
            }
            int fd = -1;
            api.dbus_connection_get_unix_fd(connection, &fd);
            pollfd descriptor = {fd, POLLIN, 0};
            if (poll(&descriptor, 1, static_cast<int>(std::min<std::int64_t>(left, INT_MAX))) < 0 && errno == EINTR) {
                failure = {E_FAIL, std::string("interrupted while waiting for ") + what};
                return false;
            }
            api.dbus_connection_read_write(connection, 0);
        }
    }

    // A failed reply to `serial`, as a failure; false for any other message.
    bool failed_reply(DBusMessage* message, dbus_uint32_t serial, const char* what, WlFailure& failure) const {
        if (api.dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_ERROR ||
            api.dbus_message_get_reply_serial(message) != serial)
            return false;
        std::string text;
        DBusMessageIter it;
        if (api.dbus_message_iter_init(message, &it) && api.dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_STRING) {
            const char* detail = nullptr;
            api.dbus_message_iter_get_basic(&it, &detail);
            if (detail) text = detail;
        }
        const char* name = api.dbus_message_get_error_name(message);
        const std::string error = name ? name : "an error";
        const bool absent = error == "org.freedesktop.DBus.Error.ServiceUnknown" ||
                            error == "org.freedesktop.DBus.Error.UnknownMethod" ||
                            error == "org.freedesktop.DBus.Error.UnknownInterface" ||
                            error == "org.freedesktop.DBus.Error.UnknownObject";
        failure = {absent ? DXGI_ERROR_UNSUPPORTED : kRefused,
                   (absent ? std::string("no screen-cast portal on the session bus (") + what + ": "
                           : std::string("the screen-cast portal failed ") + what + " (") +
                       error + (text.empty() ? "" : ": " + text) + ")"};
        return true;
    }

    // Calls a portal method that answers through a Request's Response signal, and reads
    // the response's results.
    bool request(DBusMessage* message, const std::string& token, Clock::time_point deadline, const char* what,
                 Results& results, WlFailure& failure) {
        const std::string path = std::string(kPortalPath) + "/request/" + sender + "/" + token;
        return exchange(
            message, deadline, what,
            [&](DBusMessage* incoming, dbus_uint32_t serial, WlFailure& failed) {
                if (failed_reply(incoming, serial, what, failed)) return true;
                if (!api.dbus_message_is_signal(incoming, "org.freedesktop.portal.Request", "Response")) return false;
                const char* from = api.dbus_message_get_path(incoming);
                if (!from || path != from) return false;
                DBusMessageIter it;
                dbus_uint32_t response = 2;
                if (api.dbus_message_iter_init(incoming, &it) &&
                    api.dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_UINT32) {
                    api.dbus_message_iter_get_basic(&it, &response);
                    api.dbus_message_iter_next(&it);
                }
                if (response != 0) {
                    // The dialog runs at Start on most desktops, at SelectSources on wlroots.
                    const std::string step = what;
                    failed = {kRefused, step == "Start" || step == "SelectSources"
                                            ? "screen cast refused in the portal dialog"
                                            : "the screen-cast portal refused " + step};
                    return true;
                }
                read_results(&it, results);
                return true;
            },
            failure);
    }

    void read_results(DBusMessageIter* it, Results& results) const {
        if (api.dbus_message_iter_get_arg_type(it) != DBUS_TYPE_ARRAY) return;
        DBusMessageIter array;
        api.dbus_message_iter_recurse(it, &array);
        for (; api.dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_DICT_ENTRY; api.dbus_message_iter_next(&array)) {
            DBusMessageIter entry, value;
            api.dbus_message_iter_recurse(&array, &entry);
            const char* key = nullptr;
            api.dbus_message_iter_get_basic(&entry, &key);
            api.dbus_message_iter_next(&entry);
            api.dbus_message_iter_recurse(&entry, &value);
            const std::string name = key ? key : "";
            const int type = api.dbus_message_iter_get_arg_type(&value);
            if ((name == "session_handle" || name == "restore_token") &&
                (type == DBUS_TYPE_STRING || type == DBUS_TYPE_OBJECT_PATH)) {
                const char* text = nullptr;
                api.dbus_message_iter_get_basic(&value, &text);
                (name == "session_handle" ? results.session_handle : results.restore_token) = text ? text : "";
            } else if (name == "streams" && type == DBUS_TYPE_ARRAY) {
                // a(ua{sv}): the first stream's node; one monitor was asked for.
                DBusMessageIter streams, stream;
                api.dbus_message_iter_recurse(&value, &streams);
                if (api.dbus_message_iter_get_arg_type(&streams) != DBUS_TYPE_STRUCT) continue;
                api.dbus_message_iter_recurse(&streams, &stream);
                if (api.dbus_message_iter_get_arg_type(&stream) != DBUS_TYPE_UINT32) continue;
                dbus_uint32_t node = 0;
                api.dbus_message_iter_get_basic(&stream, &node);
                results.node = node;
                results.has_stream = true;
            }
        }
    }

    // The ScreenCast interface's cursor modes (0 when it cannot say).
    std::uint32_t cursor_modes(Clock::time_point deadline) {
        DBusMessage* message =
            api.dbus_message_new_method_call(kPortal, kPortalPath, "org.freedesktop.DBus.Properties", "Get");
        if (message) {
            DBusMessageIter it;
            api.dbus_message_iter_init_append(message, &it);
            const char* interface = kScreenCast;
            const char* property = "AvailableCursorModes";
            api.dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &interface);
            api.dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &property);
        }
        dbus_uint32_t modes = 0;
        WlFailure failure;
        exchange(
            message, deadline, "AvailableCursorModes",
            [&](DBusMessage* incoming, dbus_uint32_t serial, WlFailure&) {
                if (api.dbus_message_get_reply_serial(incoming) != serial) return false;
                DBusMessageIter it, variant;
                if (api.dbus_message_get_type(incoming) == DBUS_MESSAGE_TYPE_METHOD_RETURN &&
                    api.dbus_message_iter_init(incoming, &it) &&
                    api.dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT) {
                    api.dbus_message_iter_recurse(&it, &variant);
                    if (api.dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_UINT32)
                        api.dbus_message_iter_get_basic(&variant, &modes);
                }
                return true;
            },
            failure);
        return modes;
    }
};

PortalSession::PortalSession(std::unique_ptr<Bus> bus) : bus_(std::move(bus)) {}

PortalSession::~PortalSession() {
    if (stream_.pipewire_fd >= 0) close(stream_.pipewire_fd);
    if (!bus_ || session_handle_.empty()) return;
    // Said, not waited for: the connection's end would close the session anyway.
    DBusMessage* message = bus_->api.dbus_message_new_method_call(kPortal, session_handle_.c_str(),
                                                                  "org.freedesktop.portal.Session", "Close");
    if (!message) return;
    bus_->api.dbus_connection_send(bus_->connection, message, nullptr);
    bus_->api.dbus_message_unref(message);
    bus_->api.dbus_connection_flush(bus_->connection);
}

int PortalSession::take_pipewire_fd() { return std::exchange(stream_.pipewire_fd, -1); }

void PortalSession::abandon() {
    stream_.pipewire_fd = -1;
    session_handle_.clear();
    if (bus_) bus_->connection = nullptr;
}

std::unique_ptr<PortalSession> PortalSession::open(const PortalRequest& request, WlFailure& failure) {
    std::string load_error;
    const DbusApi* api = dbus_api(load_error);
    if (!api) {
        failure = {DXGI_ERROR_UNSUPPORTED, "the screen-cast portal needs D-Bus: " + load_error};
        return nullptr;
    }
    // The session bus named in the environment, or the user's usual one; never one started
    // on the way (libdbus would otherwise try to launch a bus for an X display).
    std::string address;
    if (const char* named = std::getenv("DBUS_SESSION_BUS_ADDRESS"); named && *named) {
        address = named;
    } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        const std::string socket = std::string(runtime) + "/bus";
        if (access(socket.c_str(), F_OK) == 0) address = "unix:path=" + socket;
    }
    if (address.empty()) {
        failure = {DXGI_ERROR_UNSUPPORTED,
                   "the screen-cast portal needs a session bus: DBUS_SESSION_BUS_ADDRESS is not set and "
                   "$XDG_RUNTIME_DIR/bus does not exist"};
        return nullptr;
    }
    DBusError error;
    api->dbus_error_init(&error);
    DBusConnection* connection = api->dbus_connection_open_private(address.c_str(), &error);
    if (connection && !api->dbus_bus_register(connection, &error)) {
        api->dbus_connection_close(connection);
        api->dbus_connection_unref(connection);
        connection = nullptr;
    }
    if (!connection) {
        failure = {DXGI_ERROR_UNSUPPORTED,
                   "cannot reach the session bus '" + address +
                       "' for the screen-cast portal: " + (error.message ? error.message : "unknown error")};
        api->dbus_error_free(&error);
        return nullptr;
    }
    api->dbus_connection_set_exit_on_disconnect(connection, FALSE);
    auto bus = std::make_unique<Bus>(*api, connection);
    std::string sender = api->dbus_bus_get_unique_name(connection);
    if (!sender.empty() && sender[0] == ':') sender.erase(0, 1);
    std::replace(sender.begin(), sender.end(), '.', '_');
    bus->sender = sender;
    api->dbus_bus_add_match(connection, "type='signal',interface='org.freedesktop.portal.Request',member='Response'",
                            &error);
    if (error.name) {
        failure = {DXGI_ERROR_UNSUPPORTED, std::string("cannot listen for the portal's answers: ") +
                                               (error.message ? error.message : error.name)};
        api->dbus_error_free(&error);
        return nullptr;
    }
    std::unique_ptr<PortalSession> session(new PortalSession(std::move(bus)));
    Bus& b = *session->bus_;

    Results created;
    DBusMessage* message = b.method(kScreenCast, "CreateSession");
    if (message) {
        DBusMessageIter it;
        api->dbus_message_iter_init_append(message, &it);
        b.append_options(
            &it, {text_option("handle_token", "vistrel_create"), text_option("session_handle_token", "vistrel")});
    }
    if (!b.request(message, "vistrel_create", Clock::now() + kCallTime, "CreateSession", created, failure))
        return nullptr;
    session->session_handle_ = created.session_handle;
    if (created.session_handle.empty()) {
        failure = {kRefused, "the screen-cast portal created no session"};
        return nullptr;
    }

    // The pointer as metadata where offered, so the caller's cursor= decides whether it is
    // drawn; else drawn in by the compositor, as the screen shows it.
    const std::uint32_t modes = b.cursor_modes(Clock::now() + kCallTime);
    const std::uint32_t cursor_mode = (modes & kCursorMetadata)   ? kCursorMetadata
                                      : (modes & kCursorEmbedded) ? kCursorEmbedded
                                      : (modes & kCursorHidden)   ? kCursorHidden
                                                                  : 0;
    std::vector<Option> options = {text_option("handle_token", "vistrel_select"),
                                   number_option("types", kSourceMonitor), Option{"multiple", DBUS_TYPE_BOOLEAN, {}, 0},
                                   number_option("persist_mode", kPersistUntilRevoked)};
    if (cursor_mode) options.push_back(number_option("cursor_mode", cursor_mode));
    if (!request.restore_token.empty()) options.push_back(text_option("restore_token", request.restore_token));
    message = b.method(kScreenCast, "SelectSources");
    if (message) {
        DBusMessageIter it;
        api->dbus_message_iter_init_append(message, &it);
        b.append_path(&it, created.session_handle);
        b.append_options(&it, options);
    }
    Results selected;
    if (!b.request(message, "vistrel_select", Clock::now() + kCallTime, "SelectSources", selected, failure))
        return nullptr;

    message = b.method(kScreenCast, "Start");
    if (message) {
        DBusMessageIter it;
        api->dbus_message_iter_init_append(message, &it);
        b.append_path(&it, created.session_handle);
        const char* parent_window = "";
        api->dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &parent_window);
        b.append_options(&it, {text_option("handle_token", "vistrel_start")});
    }
    Results started;
    if (!b.request(message, "vistrel_start", Clock::now() + kDialogTime, "Start", started, failure)) return nullptr;
    if (!started.has_stream) {
        failure = {kRefused, "screen cast refused in the portal dialog"};
        return nullptr;
    }

    message = b.method(kScreenCast, "OpenPipeWireRemote");
    if (message) {
        DBusMessageIter it;
        api->dbus_message_iter_init_append(message, &it);
        b.append_path(&it, created.session_handle);
        b.append_options(&it, {});
    }
    int fd = -1;
    const bool opened = b.exchange(
        message, Clock::now() + kCallTime, "OpenPipeWireRemote",
        [&](DBusMessage* incoming, dbus_uint32_t serial, WlFailure& failed) {
            if (b.failed_reply(incoming, serial, "OpenPipeWireRemote", failed)) return true;
            if (api->dbus_message_get_reply_serial(incoming) != serial) return false;
            DBusMessageIter it;
            if (api->dbus_message_iter_init(incoming, &it) &&
                api->dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_UNIX_FD)
                api->dbus_message_iter_get_basic(&it, &fd);
            if (fd < 0) failed = {kRefused, "the screen-cast portal gave no PipeWire connection"};
            return true;
        },
        failure);
    if (!opened) return nullptr;
    session->stream_ = {fd, started.node, cursor_mode, started.restore_token};
    return session;
}

}  // namespace vistrel::wayland
