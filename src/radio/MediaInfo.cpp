#include "radio/MediaInfo.h"

#include <cstdio>

namespace radio {

namespace {

std::u16string Ascii(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

}  // namespace

std::u16string FormatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds < 0 ? 0.0 : seconds);
    return Ascii(text);
}

CAttributeList BuildMediaAttributes(const CStreamInfo& info) {
    CAttributeList list;
    list.emplace_back(u"SourceURL", info.strSourceUrl);
    list.emplace_back(u"Title", info.strTitle);
    list.emplace_back(u"Bitrate", Ascii(std::to_string(info.nBitrate)));
    list.emplace_back(u"MediaType", u"audio");
    list.emplace_back(u"FileType", info.strFileType);
    if (info.dDuration >= 0) {
        list.emplace_back(u"Duration", FormatSeconds(info.dDuration));
    }
    if (!info.strName.empty()) {
        list.emplace_back(u"Name", info.strName);
    }
    if (!info.strGenre.empty()) {
        list.emplace_back(u"Genre", info.strGenre);
    }
    if (!info.strHomePage.empty()) {
        list.emplace_back(u"WM/AuthorURL", info.strHomePage);
    }
    return list;
}

}  // namespace radio
