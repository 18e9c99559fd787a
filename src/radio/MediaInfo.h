// What the player knows about the current media item, and the attributes
// (name, text) it gives the host for it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace radio {

struct CStreamInfo {
    std::u16string strSourceUrl;  // the address the host gave
    std::u16string strTitle;      // the stream's current title, a file's name
    int nBitrate = 0;             // bits per second; 0 while unknown
    std::u16string strFileType;   // "mp3" or "wav"
    double dDuration = -1;        // seconds, files only; < 0 when unknown
    std::u16string strName;       // icy-name
    std::u16string strGenre;      // icy-genre
    std::u16string strHomePage;   // icy-url
};

using CAttributeList = std::vector<std::pair<std::u16string, std::u16string>>;

// SourceURL, Title, Bitrate, MediaType, FileType, Duration, Name, Genre,
// WM/AuthorURL, in that order; the last three and Duration only when known.
CAttributeList BuildMediaAttributes(const CStreamInfo& info);

// "12.345" (three decimals), for durations.
std::u16string FormatSeconds(double seconds);

}  // namespace radio
