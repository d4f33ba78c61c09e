#include "message_presenter.h"

#include <QGuiApplication>
#include <QMessageBox>

#if __has_include(<xcb/xcb.h>)
#include <QtGui/qguiapplication_platform.h>
#include <dlfcn.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#define QUORVEL_X11_TITLE 1
#endif

namespace quorvel {
namespace {

#ifdef QUORVEL_X11_TITLE
// Qt writes the program's name into the title of a window whose title is empty, and offers
// no way around it; on X11 the two title properties are written again, empty, once Qt has
// set them. Qt's platform plugin has the xcb library loaded already: it is looked up, not
// linked, so nothing changes for other platforms or for a build without X11.
void write_empty_x11_title(QWidget* w) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection()) return;
    void* lib = dlopen("libxcb.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (!lib) return;
    auto* intern = reinterpret_cast<decltype(&xcb_intern_atom)>(dlsym(lib, "xcb_intern_atom"));
    auto* intern_reply =
        reinterpret_cast<decltype(&xcb_intern_atom_reply)>(dlsym(lib, "xcb_intern_atom_reply"));
    auto* change =
        reinterpret_cast<decltype(&xcb_change_property)>(dlsym(lib, "xcb_change_property"));
    auto* flush = reinterpret_cast<decltype(&xcb_flush)>(dlsym(lib, "xcb_flush"));
    if (intern && intern_reply && change && flush) {
        xcb_connection_t* c = x11->connection();
        auto atom = [&](const char* name) {
            xcb_intern_atom_reply_t* r = intern_reply(
                c, intern(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
            const xcb_atom_t a = r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
            std::free(r);
            return a;
        };
        const auto window = static_cast<xcb_window_t>(w->winId());
        change(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 0, nullptr);
        const xcb_atom_t net_name = atom("_NET_WM_NAME");
        const xcb_atom_t utf8 = atom("UTF8_STRING");
        if (net_name != XCB_ATOM_NONE && utf8 != XCB_ATOM_NONE)
            change(c, XCB_PROP_MODE_REPLACE, window, net_name, utf8, 8, 0, nullptr);
        flush(c);
    }
    dlclose(lib);
}
#endif

}  // namespace

void keep_caption(QWidget* box, const QString& caption) {
#ifdef QUORVEL_X11_TITLE
    if (caption.isEmpty()) write_empty_x11_title(box);
#else
    Q_UNUSED(box);
    Q_UNUSED(caption);
#endif
}

void DialogPresenter::message(QWidget* owner, const QString& text, const QString& caption,
                              const QString& detail) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.setObjectName("message");
    if (!detail.isEmpty()) box.setInformativeText(detail);
    keep_caption(&box, caption);
    box.exec();
}

Answer DialogPresenter::question(QWidget* owner, const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::Question, caption, text,
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, owner);
    box.setObjectName("question");
    keep_caption(&box, caption);
    switch (box.exec()) {
        case QMessageBox::Yes:
            return Answer::Yes;
        case QMessageBox::No:
            return Answer::No;
        default:
            return Answer::Cancel;
    }
}

}  // namespace quorvel
