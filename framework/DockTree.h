#pragma once

// The dock manager a dock site gets by default: the visible docked clients one after another,
// each behind a grabber strip with a close button. An area wider than tall puts them side by
// side with the strip on the left; otherwise they stack from the top with the strip above. A
// client dragged in comes after the others; a press on a strip drags a client of DragKind dkDock.

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
    // A press on a client's close button hides that client; one on the rest of the strip starts
    // dragging a client of DragKind dkDock once the mouse moves.
    bool MouseDown(TPoint point) override;
    // A slot with its strip: the client's own, or one after the others for a new client.
    TRect DockRect(TControl* control) const override;

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
    // count slots, strip and client each, sharing the area along the layout direction.
    std::vector<TRect> Slots(size_t count) const;

    TWinControl& site_;
    std::vector<TControl*> clients_;
    TRect area_{};  // where the clients were laid out last
};
