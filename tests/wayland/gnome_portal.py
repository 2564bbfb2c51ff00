"""A screen-cast portal for the tests, in front of mutter: it serves
org.freedesktop.portal.ScreenCast on the bus (requests answered by Response signals, as the
real portal answers them) and forwards each session to org.gnome.Mutter.ScreenCast, which
is what GNOME's own portal backend does. No dialog: every Start records `--connector`.

Run as a child of the test harness: python gnome_portal.py --connector Meta-0"""
import argparse
import os
import socket

from jeepney import DBusAddress, HeaderFields, MatchRule, MessageType, new_error, new_method_call, new_method_return
from jeepney import new_signal
from jeepney.bus_messages import message_bus
from jeepney.io.blocking import open_dbus_connection

PORTAL = "org.freedesktop.portal.Desktop"
PORTAL_PATH = "/org/freedesktop/portal/desktop"
SCREEN_CAST = "org.freedesktop.portal.ScreenCast"
MUTTER = "org.gnome.Mutter.ScreenCast"
# The portal's cursor modes (1 hidden, 2 embedded, 4 metadata) as mutter numbers them.
MUTTER_CURSOR = {1: 0, 2: 1, 4: 2}
CURSOR_MODES = 1 | 2 | 4
MONITOR = 1


def unwrap(reply):
    if reply.header.message_type == MessageType.error:
        raise RuntimeError(f"{reply.header.fields.get(HeaderFields.error_name)}: {reply.body}")
    return reply.body


class Session:
    """One portal session: a bus connection of its own to mutter, so mutter ends its
    session when this one closes."""

    def __init__(self, sender):
        self.sender = sender
        self.cursor_mode = 2
        self.mutter = open_dbus_connection(os.environ["DBUS_SESSION_BUS_ADDRESS"])
        call = new_method_call(DBusAddress("/org/gnome/Mutter/ScreenCast", MUTTER, MUTTER), "CreateSession",
                               "a{sv}", ({},))
        (self.path,) = unwrap(self.mutter.send_and_get_reply(call, timeout=10))

    def start(self, connector):
        session = DBusAddress(self.path, MUTTER, MUTTER + ".Session")
        options = {"cursor-mode": ("u", MUTTER_CURSOR.get(self.cursor_mode, 1))}
        (stream,) = unwrap(self.mutter.send_and_get_reply(
            new_method_call(session, "RecordMonitor", "sa{sv}", (connector, options)), timeout=10))
        rule = MatchRule(type="signal", interface=MUTTER + ".Stream", member="PipeWireStreamAdded", path=stream)
        unwrap(self.mutter.send_and_get_reply(message_bus.AddMatch(rule), timeout=10))
        with self.mutter.filter(rule) as added:
            unwrap(self.mutter.send_and_get_reply(new_method_call(session, "Start"), timeout=10))
            (node,) = self.mutter.recv_until_filtered(added, timeout=10).body
        return node

    def close(self):
        self.mutter.close()


class Portal:
    def __init__(self, connector):
        self.connector = connector
        self.bus = open_dbus_connection(os.environ["DBUS_SESSION_BUS_ADDRESS"], enable_fds=True)
        self.sessions = {}  # portal session path -> Session
        self.sent_remote = None
        unwrap(self.bus.send_and_get_reply(message_bus.AddMatch(
            MatchRule(type="signal", interface="org.freedesktop.DBus", member="NameOwnerChanged")), timeout=10))
        unwrap(self.bus.send_and_get_reply(message_bus.RequestName(PORTAL), timeout=10))

    def serve(self):
        while True:
            message = self.bus.receive()
            fields = message.header.fields
            if message.header.message_type == MessageType.signal:
                if fields.get(HeaderFields.member) == "NameOwnerChanged" and not message.body[2]:
                    self.client_gone(message.body[0])
                continue
            if message.header.message_type != MessageType.method_call:
                continue
            try:
                self.bus.send(self.answer(message))
            except Exception as e:  # the caller hears of it; the portal serves on
                self.bus.send(new_error(message, "org.freedesktop.portal.Error.Failed", "s", (str(e),)))
            if self.sent_remote:
                self.sent_remote.close()
                self.sent_remote = None

    def answer(self, message):
        fields = message.header.fields
        interface, member = fields.get(HeaderFields.interface), fields.get(HeaderFields.member)
        sender = fields[HeaderFields.sender]
        if interface == "org.freedesktop.DBus.Properties" and member in ("Get", "GetAll"):
            properties = {"AvailableSourceTypes": ("u", MONITOR), "AvailableCursorModes": ("u", CURSOR_MODES),
                          "version": ("u", 4)}
            if member == "GetAll":
                return new_method_return(message, "a{sv}", (properties,))
            if message.body[0] != SCREEN_CAST or message.body[1] not in properties:
                return new_error(message, "org.freedesktop.DBus.Error.InvalidArgs")
            return new_method_return(message, "v", (properties[message.body[1]],))
        if interface == "org.freedesktop.portal.Session" and member == "Close":
            session = self.sessions.pop(fields[HeaderFields.path], None)
            if session:
                session.close()
            return new_method_return(message)
        if interface != SCREEN_CAST:
            return new_error(message, "org.freedesktop.DBus.Error.UnknownMethod")
        if member == "OpenPipeWireRemote":
            remote = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            remote.connect(os.path.join(os.environ["XDG_RUNTIME_DIR"], "pipewire-0"))
            self.sent_remote = remote  # closed once the reply carried it
            return new_method_return(message, "h", (remote,))
        options = message.body[-1]
        request = f"{PORTAL_PATH}/request/{sender[1:].replace('.', '_')}/{options['handle_token'][1]}"
        results = self.request(member, message.body, sender)
        self.bus.send(new_method_return(message, "o", (request,)))
        response = new_signal(DBusAddress(request, interface="org.freedesktop.portal.Request"), "Response",
                              "ua{sv}", (0, results))
        response.header.fields[HeaderFields.destination] = sender
        return response

    def request(self, member, body, sender):
        if member == "CreateSession":
            path = f"{PORTAL_PATH}/session/{sender[1:].replace('.', '_')}/{body[0]['session_handle_token'][1]}"
            self.sessions[path] = Session(sender)
            return {"session_handle": ("s", path)}
        session = self.sessions[body[0]]
        if member == "SelectSources":
            session.cursor_mode = body[1].get("cursor_mode", ("u", 2))[1]
            return {}
        if member == "Start":
            node = session.start(self.connector)
            return {"streams": ("a(ua{sv})", [(node, {"source_type": ("u", MONITOR)})])}
        raise RuntimeError(f"no method {member}")

    def client_gone(self, name):
        for path, session in list(self.sessions.items()):
            if session.sender == name:
                session.close()
                del self.sessions[path]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--connector", required=True)
    Portal(parser.parse_args().connector).serve()


if __name__ == "__main__":
    main()
