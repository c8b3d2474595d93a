#pragma once

// The dock manager a dock site gets by default: the visible docked clients one after another,
// each behind a grabber strip with a close button. An area wider than tall puts them side by
// side with the strip on the left; otherwise they stack from the top with the strip above.

#include "Controls.h"

#include <windows.h>

#include <vector>

class TDockTree : public TDockManager {
public:
    // Grabber strip thickness, and the close button's square at the strip's end.
    static constexpr int GrabberSize = 12;

    explicit TDockTree(TWinControl& site) : site_(site) {}

    void InsertControl(TControl* control) override;
    void RemoveControl(TControl* control) override;
    void ResetBounds(const TRect& area) override;
    void PaintSite(HDC dc) override;
    // A press on a client's close button hides that client.
    bool MouseDown(TPoint point) override;

    TWinControl& Site() const { return site_; }
    // Strips along the top of each client (stacked clients); else along their left side.
    bool HorizontalGrabbers() const;
    // Where a docked client's strip and its close button lie; empty for a hidden client.
    TRect GrabberRect(const TControl& client) const;
    TRect CloseButtonRect(const TControl& client) const;

protected:
    // Paints a client's strip: two raised bars and the close button.
    virtual void PaintDockFrame(HDC dc, TControl& client, const TRect& grabber);

private:
    std::vector<TControl*> VisibleClients() const;

    TWinControl& site_;
    std::vector<TControl*> clients_;
    TRect area_{};  // where the clients were laid out last
};
