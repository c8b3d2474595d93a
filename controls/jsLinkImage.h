#pragma once

// A picture on a form that opens a link through the shell when clicked.

#include "Controls.h"
#include "ExtCtrls.h"
#include "TypInfo.h"

#include <string>

enum tLinkType { ltfile, ltftp, ltgopher, lthttp, lthttps, ltmailto, ltnews, lttelnet, ltwais };

class TjsLinkImage : public TImage {
    DECLARE_CLASS_INFO()

public:
    // The owner becomes the parent; it must be a form (EInvalidCast otherwise), or null.
    explicit TjsLinkImage(TComponent* owner);

    tLinkType LinkType() const { return linkType_; }
    void SetLinkType(tLinkType value) { linkType_ = value; }
    const std::string& HyperLink() const { return hyperLink_; }
    // An empty Hint becomes the link; a hint that is not empty is shown.
    void SetHyperLink(const std::string& value);

    // "http://", "mailto:" ...
    static const char* LinkPrefix(tLinkType type);
    // The prefix of LinkType and the link.
    std::string Url() const { return LinkPrefix(linkType_) + hyperLink_; }

    // The left button opens the link and goes no further.
    void WndProc(TMessage& message) override;

private:
    tLinkType linkType_ = lthttp;
    std::string hyperLink_;
};

template <>
struct TEnumTraits<tLinkType> {
    static constexpr const char* Names[] = {"ltfile", "ltftp",  "ltgopher",  "lthttp", "lthttps",
                                            "ltmailto", "ltnews", "lttelnet", "ltwais"};
};
