// This file contains the X input of the process tests: fake pointer input
// through the XTest extension, which the server handles as a real mouse's,
// the ICCCM close request that window managers send, and a repaint request.
#include "x_input.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>
#include <cstring>

namespace kovo::gui {

namespace {

// Waits for a reply, which the server sends only after every earlier request.
bool sync(xcb_connection_t* connection)
{
    xcb_get_input_focus_reply_t* reply =
        xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr);
    free(reply);
    return reply != nullptr;
}

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(strlen(name)), name), nullptr);
    xcb_atom_t found = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    free(reply);
    return found;
}

}  // namespace

bool xClick(const std::string& display, int x, int y)
{
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    bool done = false;
    if (xcb_connection_has_error(connection) == 0) {
        xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        xcb_test_fake_input(connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, static_cast<int16_t>(x),
                            static_cast<int16_t>(y), 0);
        xcb_test_fake_input(connection, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(connection, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        done = sync(connection);
    }
    xcb_disconnect(connection);
    return done;
}

bool xKeys(const std::string& display, const std::vector<uint32_t>& keysyms)
{
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    bool done = xcb_connection_has_error(connection) == 0;
    if (done) {
        const xcb_setup_t* setup = xcb_get_setup(connection);
        int count = setup->max_keycode - setup->min_keycode + 1;
        xcb_get_keyboard_mapping_reply_t* map = xcb_get_keyboard_mapping_reply(
            connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, static_cast<uint8_t>(count)), nullptr);
        const xcb_keysym_t* table = map != nullptr ? xcb_get_keyboard_mapping_keysyms(map) : nullptr;
        for (uint32_t keysym : keysyms) {
            int found = -1;  // the key whose unmodified symbol it is
            for (int key = 0; table != nullptr && key < count && found < 0; ++key)
                if (table[key * map->keysyms_per_keycode] == keysym)
                    found = setup->min_keycode + key;
            done = done && found >= 0;
            if (!done)
                break;
            for (uint8_t type : {XCB_KEY_PRESS, XCB_KEY_RELEASE})
                xcb_test_fake_input(connection, type, static_cast<uint8_t>(found), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        }
        free(map);
        done = sync(connection) && done;
    }
    xcb_disconnect(connection);
    return done;
}

bool xClose(const std::string& display, uint32_t window)
{
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    bool done = false;
    if (xcb_connection_has_error(connection) == 0) {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = atom(connection, "WM_PROTOCOLS");
        message.data.data32[0] = atom(connection, "WM_DELETE_WINDOW");
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&message));
        done = sync(connection);
    }
    xcb_disconnect(connection);
    return done;
}

bool xExpose(const std::string& display, uint32_t window)
{
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    bool done = false;
    if (xcb_connection_has_error(connection) == 0) {
        xcb_clear_area(connection, 1, window, 0, 0, 0, 0);
        done = sync(connection);
    }
    xcb_disconnect(connection);
    return done;
}

}  // namespace kovo::gui
