#include "WindowList.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <unordered_set>

#include <xcb/res.h>

namespace kestrova::platform::x11 {

namespace {

constexpr std::array<std::string_view, WindowLister::atomCount> kAtomNames = {
    "WM_STATE",
    "_NET_CLIENT_LIST",
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "_NET_WM_PID",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_STATE",
    "_NET_WM_STATE_ABOVE",
    "_NET_WM_STATE_BELOW",
    "RESOURCE_MANAGER",
    "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
    "_NET_WM_WINDOW_TYPE_POPUP_MENU",
    "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_COMBO",
    "_NET_WM_WINDOW_TYPE_DND",
};

// Layers in the order a window manager stacks them; the core only tells 0 from the rest.
constexpr std::int64_t kLayerDesktop = -20;
constexpr std::int64_t kLayerBelow = -1;
constexpr std::int64_t kLayerNormal = 0;
constexpr std::int64_t kLayerAbove = 3;
constexpr std::int64_t kLayerDock = 20;
constexpr std::int64_t kLayerNotification = 25;
constexpr std::int64_t kLayerPopup = 101;
constexpr std::int64_t kLayerOverrideRedirect = 102;

// Reparenting window managers nest a client at most this deep inside their frame.
constexpr int kClientSearchDepth = 3;
// Property lengths asked for, in 32-bit units.
constexpr std::uint32_t kTextLength = 4096;
constexpr std::uint32_t kAtomListLength = 64;
constexpr std::uint32_t kClientListLength = 65536;
constexpr std::uint32_t kResourcesLength = 65536;

// Errors are taken with the reply: the listing connection never reads its event queue.
template <class R, class Cookie>
Reply<R> replyOf(xcb_connection_t* c, Cookie cookie,
                 R* (*receive)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) {
    xcb_generic_error_t* error = nullptr;
    Reply<R> reply(receive(c, cookie, &error));
    std::free(error);
    return reply;
}

Reply<xcb_get_property_reply_t> propertyReply(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
    return replyOf(c, cookie, &xcb_get_property_reply);
}

xcb_get_property_cookie_t askProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t name, xcb_atom_t type,
                                      std::uint32_t length) {
    return xcb_get_property(c, 0, window, name, type, 0, length);
}

bool present(const xcb_get_property_reply_t* reply) { return reply && reply->type != XCB_ATOM_NONE; }

std::string_view textOf(const xcb_get_property_reply_t* reply) {
    return {static_cast<const char*>(xcb_get_property_value(reply)),
            static_cast<std::size_t>(xcb_get_property_value_length(reply))};
}

// 32-bit items of a property of that type, empty when it holds something else.
std::vector<std::uint32_t> itemsOf(const xcb_get_property_reply_t* reply, xcb_atom_t type) {
    if (!reply || reply->type != type || reply->format != 32) return {};
    const auto* items = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
    return {items, items + xcb_get_property_value_length(reply) / 4};
}

// Text properties of type STRING are ISO 8859-1.
std::string latin1ToUtf8(std::string_view text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (const unsigned char ch : text) {
        if (ch < 0x80) {
            utf8 += static_cast<char>(ch);
        } else {
            utf8 += static_cast<char>(0xC0 | (ch >> 6));
            utf8 += static_cast<char>(0x80 | (ch & 0x3F));
        }
    }
    return utf8;
}

std::optional<std::int32_t> localProcessOf(const xcb_res_query_client_ids_reply_t* reply) {
    if (!reply) return std::nullopt;
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply); it.rem > 0; xcb_res_client_id_value_next(&it)) {
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
            xcb_res_client_id_value_value_length(it.data) >= 1) {
            return static_cast<std::int32_t>(*xcb_res_client_id_value_value(it.data));
        }
    }
    return std::nullopt;
}

}  // namespace

WindowLister::WindowLister(const Connection& connection) : connection_(connection) {
    xcb_connection_t* c = connection_.get();
    std::array<xcb_intern_atom_cookie_t, atomCount> cookies{};
    for (std::size_t i = 0; i < atomCount; ++i) {
        cookies[i] = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(kAtomNames[i].size()), kAtomNames[i].data());
    }
    const xcb_query_extension_reply_t* res = xcb_get_extension_data(c, &xcb_res_id);
    std::optional<xcb_res_query_version_cookie_t> version;
    if (res && res->present) version = xcb_res_query_version(c, 1, 2);
    for (std::size_t i = 0; i < atomCount; ++i) {
        if (auto reply = replyOf(c, cookies[i], &xcb_intern_atom_reply)) atoms_[i] = reply->atom;
    }
    if (version) {
        auto reply = replyOf(c, *version, &xcb_res_query_version_reply);
        // The client-id query came with version 1.2.
        hasResourceExtension_ =
            reply && (reply->server_major > 1 || (reply->server_major == 1 && reply->server_minor >= 2));
    }
}

std::vector<xcb_window_t> WindowLister::topLevels() const {
    xcb_connection_t* c = connection_.get();
    const xcb_window_t root = connection_.root();
    auto treeCookie = xcb_query_tree(c, root);
    auto checkCookie = askProperty(c, root, atoms_[netSupportingWmCheck], XCB_ATOM_WINDOW, 1);
    auto clientsCookie = askProperty(c, root, atoms_[netClientList], XCB_ATOM_WINDOW, kClientListLength);

    auto tree = replyOf(c, treeCookie, &xcb_query_tree_reply);
    auto check = propertyReply(c, checkCookie);
    auto clients = propertyReply(c, clientsCookie);
    // The client list is trusted only while a window manager runs: its check window must point at itself.
    const auto checkWindow = itemsOf(check.get(), XCB_ATOM_WINDOW);
    std::optional<xcb_get_property_cookie_t> selfCheckCookie;
    if (!checkWindow.empty()) {
        selfCheckCookie = askProperty(c, checkWindow[0], atoms_[netSupportingWmCheck], XCB_ATOM_WINDOW, 1);
    }

    // For each child of the root, the first window within the search depth that carries WM_STATE is the client;
    // the search runs breadth-first over all children at once, so each level costs one round trip.
    std::vector<xcb_window_t> children;
    if (tree) {
        const xcb_window_t* first = xcb_query_tree_children(tree.get());
        children.assign(first, first + xcb_query_tree_children_length(tree.get()));
    }
    std::vector<xcb_window_t> client(children.size(), XCB_WINDOW_NONE);
    struct Probe {
        std::size_t top;
        xcb_window_t window;
    };
    std::vector<Probe> frontier;
    for (std::size_t i = 0; i < children.size(); ++i) frontier.push_back({i, children[i]});
    for (int depth = 0; !frontier.empty(); ++depth) {
        std::vector<xcb_get_property_cookie_t> states;
        for (const auto& probe : frontier) states.push_back(askProperty(c, probe.window, atoms_[wmState], XCB_ATOM_ANY, 0));
        for (std::size_t i = 0; i < frontier.size(); ++i) {
            const auto reply = propertyReply(c, states[i]);
            if (present(reply.get()) && client[frontier[i].top] == XCB_WINDOW_NONE) {
                client[frontier[i].top] = frontier[i].window;
            }
        }
        if (depth == kClientSearchDepth) break;
        std::vector<Probe> searched;
        std::vector<xcb_query_tree_cookie_t> subtrees;
        for (const auto& probe : frontier) {
            if (client[probe.top] != XCB_WINDOW_NONE) continue;
            searched.push_back(probe);
            subtrees.push_back(xcb_query_tree(c, probe.window));
        }
        std::vector<Probe> next;
        for (std::size_t i = 0; i < searched.size(); ++i) {
            auto subtree = replyOf(c, subtrees[i], &xcb_query_tree_reply);
            if (!subtree) continue;
            const xcb_window_t* first = xcb_query_tree_children(subtree.get());
            const int count = xcb_query_tree_children_length(subtree.get());
            for (int k = 0; k < count; ++k) next.push_back({searched[i].top, first[k]});
        }
        frontier = std::move(next);
    }

    std::vector<xcb_window_t> found;
    std::unordered_set<xcb_window_t> seen;
    for (std::size_t i = 0; i < children.size(); ++i) {
        const xcb_window_t window = client[i] != XCB_WINDOW_NONE ? client[i] : children[i];
        if (seen.insert(window).second) found.push_back(window);
    }
    // Never-mapped windows are absent from the client list and reparented ones are deep in frames: the tree
    // finds both, the list adds what the tree walk cannot reach.
    if (selfCheckCookie) {
        const auto selfCheck = itemsOf(propertyReply(c, *selfCheckCookie).get(), XCB_ATOM_WINDOW);
        if (!selfCheck.empty() && selfCheck[0] == checkWindow[0]) {
            for (const auto window : itemsOf(clients.get(), XCB_ATOM_WINDOW)) {
                if (seen.insert(window).second) found.push_back(window);
            }
        }
    }
    return found;
}

std::int64_t WindowLister::layerOf(bool overrideRedirect, const xcb_get_property_reply_t* types,
                                   const xcb_get_property_reply_t* states) const {
    if (overrideRedirect) return kLayerOverrideRedirect;
    // The types are listed in order of preference; the first one understood decides.
    for (const auto type : itemsOf(types, XCB_ATOM_ATOM)) {
        if (type == atoms_[typeNormal]) break;
        if (type == atoms_[typeDesktop]) return kLayerDesktop;
        if (type == atoms_[typeDock]) return kLayerDock;
        if (type == atoms_[typeNotification]) return kLayerNotification;
        for (const Atom floating : {typeToolbar, typeMenu, typeUtility, typeSplash, typeDialog}) {
            if (type == atoms_[floating]) return kLayerAbove;
        }
        for (const Atom popup : {typeDropdownMenu, typePopupMenu, typeTooltip, typeCombo, typeDnd}) {
            if (type == atoms_[popup]) return kLayerPopup;
        }
    }
    for (const auto state : itemsOf(states, XCB_ATOM_ATOM)) {
        if (state == atoms_[netWmStateAbove]) return kLayerAbove;
        if (state == atoms_[netWmStateBelow]) return kLayerBelow;
    }
    return kLayerNormal;
}

std::vector<Window> WindowLister::list(bool excludingDesktopWindows, bool onScreenWindowsOnly) const {
    xcb_connection_t* c = connection_.get();
    auto resourcesCookie = askProperty(c, connection_.root(), atoms_[resourceManager], XCB_ATOM_STRING,
                                       kResourcesLength);
    const std::vector<xcb_window_t> windows = topLevels();

    // Every question about every window goes out before the first answer is read: one round trip in all.
    struct Questions {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
        xcb_get_property_cookie_t netName, name, types, states, pid;
        std::optional<xcb_res_query_client_ids_cookie_t> owner;
    };
    std::vector<Questions> questions;
    questions.reserve(windows.size());
    for (const auto w : windows) {
        Questions q{};
        q.attributes = xcb_get_window_attributes(c, w);
        q.geometry = xcb_get_geometry(c, w);
        q.origin = xcb_translate_coordinates(c, w, connection_.root(), 0, 0);
        q.netName = askProperty(c, w, atoms_[netWmName], atoms_[utf8String], kTextLength);
        q.name = askProperty(c, w, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, kTextLength);
        q.types = askProperty(c, w, atoms_[netWmWindowType], XCB_ATOM_ATOM, kAtomListLength);
        q.states = askProperty(c, w, atoms_[netWmState], XCB_ATOM_ATOM, kAtomListLength);
        q.pid = askProperty(c, w, atoms_[netWmPid], XCB_ATOM_CARDINAL, 1);
        if (hasResourceExtension_) {
            xcb_res_client_id_spec_t clientQuery{w, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
            q.owner = xcb_res_query_client_ids(c, 1, &clientQuery);
        }
        questions.push_back(q);
    }

    const auto resources = propertyReply(c, resourcesCookie);
    const double scale = desktopScale(present(resources.get()) ? textOf(resources.get()) : std::string_view{});

    std::vector<Window> records;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const Questions& q = questions[i];
        auto attributes = replyOf(c, q.attributes, &xcb_get_window_attributes_reply);
        auto geometry = replyOf(c, q.geometry, &xcb_get_geometry_reply);
        auto origin = replyOf(c, q.origin, &xcb_translate_coordinates_reply);
        auto netName = propertyReply(c, q.netName);
        auto name = propertyReply(c, q.name);
        auto types = propertyReply(c, q.types);
        auto states = propertyReply(c, q.states);
        auto pid = propertyReply(c, q.pid);
        Reply<xcb_res_query_client_ids_reply_t> owner;
        if (q.owner) owner = replyOf(c, *q.owner, &xcb_res_query_client_ids_reply);

        // A window destroyed while being listed has no attributes: it is simply not there.
        if (!attributes || !geometry) continue;
        // Input-only windows have no pixels; the root's children without a client inside that are of this class
        // belong to toolkits and window managers.
        if (attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) continue;
        if (onScreenWindowsOnly && attributes->map_state != XCB_MAP_STATE_VIEWABLE) continue;

        auto record = std::make_shared<WindowRecord>();
        record->windowID = windows[i];
        if (present(netName.get()) && netName->format == 8) {
            record->title = std::string(textOf(netName.get()));
        } else if (present(name.get()) && name->format == 8) {
            record->title = name->type == atoms_[utf8String] ? std::string(textOf(name.get()))
                                                             : latin1ToUtf8(textOf(name.get()));
        }
        record->windowLayer = layerOf(attributes->override_redirect != 0, types.get(), states.get());
        if (excludingDesktopWindows && record->windowLayer == kLayerDesktop) continue;
        if (auto process = localProcessOf(owner.get())) {
            record->owningApplication = RunningApplication{*process};
        } else if (const auto claimed = itemsOf(pid.get(), XCB_ATOM_CARDINAL); !claimed.empty() && claimed[0] > 0) {
            record->owningApplication = RunningApplication{static_cast<std::int32_t>(claimed[0])};
        }
        record->frame = Rect{origin ? origin->dst_x / scale : 0.0, origin ? origin->dst_y / scale : 0.0,
                             geometry->width / scale, geometry->height / scale};
        records.push_back(std::move(record));
    }
    return records;
}

double desktopScale(std::string_view resources) {
    constexpr std::string_view kKey = "Xft.dpi";
    constexpr double kBaseDpi = 96;
    while (!resources.empty()) {
        const std::size_t end = std::min(resources.find('\n'), resources.size());
        std::string_view line = resources.substr(0, end);
        resources.remove_prefix(std::min(end + 1, resources.size()));
        line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
        if (!line.starts_with(kKey)) continue;
        line.remove_prefix(kKey.size());
        line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
        if (!line.starts_with(':')) continue;
        line.remove_prefix(1);
        line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
        double dpi = 0;
        const auto parsed = std::from_chars(line.data(), line.data() + line.size(), dpi);
        if (parsed.ec != std::errc() || !std::isfinite(dpi)) return 1;
        return std::max(1.0, dpi / kBaseDpi);
    }
    return 1;
}

}  // namespace kestrova::platform::x11
