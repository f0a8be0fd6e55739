#include "capture/x11/text.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <mutex>

namespace lumatap::x11 {
namespace {

// Xlib's converter needs a display of its own, if only to name the encodings by their atoms.
// It is opened the first time a title needs it, and kept.
Display* converterDisplay() {
    static Display* display = [] {
        Display* d = XOpenDisplay(nullptr);
        if (d) {
            // Xlib ends the process when its connection breaks; here a broken connection only
            // means that the titles that follow are read as Latin-1.
            XSetIOErrorExitHandler(
                d, [](Display*, void*) {}, nullptr);
            // Both encodings asked in one round trip, and remembered by Xlib from then on.
            char utf8[] = "UTF8_STRING";
            char compound[] = "COMPOUND_TEXT";
            char* names[] = {utf8, compound};
            Atom atoms[2];
            XInternAtoms(d, names, 2, False, atoms);
        }
        return d;
    }();
    return display;
}

// The bytes of an ISO 2022 text with its escape sequences left out.
std::string withoutEscapes(std::string_view text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\x1b') {
            plain.push_back(text[i]);
            continue;
        }
        // An escape sequence ends with its first byte from 0x30 to 0x7e.
        while (++i < text.size() && !(text[i] >= 0x30 && text[i] <= 0x7e)) {
        }
    }
    return plain;
}

// The length of the well-formed UTF-8 sequence `text` starts with, or 0 when it starts with
// none: no overlong forms, surrogates or code points past U+10FFFF.
std::size_t sequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : low;
        high = lead == 0xed ? 0x9f : high;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : low;
        high = lead == 0xf4 ? 0x8f : high;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    const auto second = static_cast<unsigned char>(text[1]);
    if (second < low || second > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if ((static_cast<unsigned char>(text[k]) & 0xc0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// Xlib passes the bytes of a COMPOUND_TEXT UTF-8 segment through unchecked, so a title can
// bring any bytes; each one that starts no well-formed sequence becomes U+FFFD.
std::string wellFormed(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = sequenceLength(text.substr(i));
        if (length == 0) {
            out += "\xef\xbf\xbd";
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

} // namespace

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string compoundTextToUtf8(std::string_view text) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    Display* display = converterDisplay();
    if (display && text.size() < (1u << 30)) {
        std::string bytes(text);
        XTextProperty property;
        property.value = reinterpret_cast<unsigned char*>(bytes.data());
        property.encoding = XInternAtom(display, "COMPOUND_TEXT", False);
        property.format = 8;
        property.nitems = bytes.size();
        char** list = nullptr;
        int count = 0;
        if (Xutf8TextPropertyToTextList(display, &property, &list, &count) >= 0 && list) {
            std::string decoded;
            for (int i = 0; i < count; ++i) {
                decoded += list[i];
            }
            XFreeStringList(list);
            return wellFormed(decoded);
        }
    }
    return latin1ToUtf8(withoutEscapes(text));
}

} // namespace lumatap::x11
