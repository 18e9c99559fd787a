#include "radio/RadioErrors.h"

#include <string>

namespace radio {

CRadioFailure MakeFailure(RadioError error) {
    const CRadioErrorInfo info = DescribeError(error);
    return {info.code, std::u16string(info.description)};
}

CRadioFailure MakeHttpFailure(int status) {
    // A status outside 100..999 cannot come from a parsed status line; keep
    // the code inside the HTTP range anyway.
    const int shown = (status >= 100 && status <= 999) ? status : 0;
    std::string text = "The server answered with HTTP status " + std::to_string(shown) + ".";
    return {kHttpStatusBase + static_cast<uint32_t>(shown),
            std::u16string(text.begin(), text.end())};
}

}  // namespace radio
