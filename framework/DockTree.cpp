#include "DockTree.h"

#include <algorithm>

void TDockTree::InsertControl(TControl* control) {
    if (std::find(clients_.begin(), clients_.end(), control) == clients_.end())
        clients_.push_back(control);
}

void TDockTree::RemoveControl(TControl* control) { std::erase(clients_, control); }

std::vector<TControl*> TDockTree::VisibleClients() const {
    std::vector<TControl*> visible;
    for (TControl* client : clients_)
        if (client->Visible())
            visible.push_back(client);
    return visible;
}

bool TDockTree::HorizontalGrabbers() const { return area_.right - area_.left <= area_.bottom - area_.top; }

// Equal shares of the area's extent along the layout direction; the last one takes what rounding
// leaves.
std::vector<TRect> TDockTree::Slots(size_t count) const {
    std::vector<TRect> slots;
    if (count == 0)
        return slots;
    const bool stacked = HorizontalGrabbers();
    const TRect& area = area_;
    const int share = (stacked ? area.bottom - area.top : area.right - area.left) / static_cast<int>(count);
    int start = stacked ? area.top : area.left;
    for (size_t i = 0; i < count; ++i) {
        const int end = i + 1 == count ? (stacked ? area.bottom : area.right) : start + share;
        slots.push_back(stacked ? MakeRect(area.left, start, area.right, end) : MakeRect(start, area.top, end, area.bottom));
        start = end;
    }
    return slots;
}

void TDockTree::ResetBounds(const TRect& area) {
    area_ = area;
    const std::vector<TControl*> visible = VisibleClients();
    const std::vector<TRect> slots = Slots(visible.size());
    const bool stacked = HorizontalGrabbers();
    for (size_t i = 0; i < visible.size(); ++i) {
        const TRect& slot = slots[i];
        const int width = slot.right - slot.left;
        const int height = slot.bottom - slot.top;
        if (stacked)
            visible[i]->SetBounds(slot.left, slot.top + GrabberSize, width, std::max(0, height - GrabberSize));
        else
            visible[i]->SetBounds(slot.left + GrabberSize, slot.top, std::max(0, width - GrabberSize), height);
    }
}

TRect TDockTree::DockRect(TControl* control) const {
    const std::vector<TControl*> visible = VisibleClients();
    const auto found = std::find(visible.begin(), visible.end(), control);
    const bool docked = found != visible.end();
    const std::vector<TRect> slots = Slots(visible.size() + (docked ? 0 : 1));
    return docked ? slots[static_cast<size_t>(found - visible.begin())] : slots.back();
}

TRect TDockTree::GrabberRect(const TControl& client) const {
    if (!client.Visible() || client.HostDockSite() != &site_)
        return {};
    const TRect bounds = client.BoundsRect();
    if (HorizontalGrabbers())
        return MakeRect(bounds.left, bounds.top - GrabberSize, bounds.right, bounds.top);
    return MakeRect(bounds.left - GrabberSize, bounds.top, bounds.left, bounds.bottom);
}

// At the strip's far end: the right end of a top strip, the top end of a left one.
TRect TDockTree::CloseButtonRect(const TControl& client) const {
    const TRect grabber = GrabberRect(client);
    if (IsRectEmpty(&grabber))
        return {};
    if (HorizontalGrabbers())
        return MakeRect(grabber.right - GrabberSize, grabber.top, grabber.right, grabber.bottom);
    return MakeRect(grabber.left, grabber.top, grabber.right, grabber.top + GrabberSize);
}

void TDockTree::PaintSite(HDC dc) {
    for (TControl* client : VisibleClients()) {
        const TRect grabber = GrabberRect(*client);
        const int saved = SaveDC(dc);
        IntersectClipRect(dc, grabber.left, grabber.top, grabber.right, grabber.bottom);
        PaintDockFrame(dc, *client, grabber);
        RestoreDC(dc, saved);
    }
}

void TDockTree::PaintDockFrame(HDC dc, TControl& client, const TRect& grabber) {
    TRect close = CloseButtonRect(client);
    InflateRect(&close, -1, -1);
    DrawFrameControl(dc, &close, DFC_CAPTION, DFCS_CAPTIONCLOSE);
    // Two bars of three pixels along the rest of the strip.
    for (int bar = 0; bar < 2; ++bar) {
        TRect rect;
        if (HorizontalGrabbers())
            rect = MakeRect(grabber.left + 2, grabber.top + 3 + 3 * bar, grabber.right - GrabberSize - 2,
                            grabber.top + 6 + 3 * bar);
        else
            rect = MakeRect(grabber.left + 3 + 3 * bar, grabber.top + GrabberSize + 2, grabber.left + 6 + 3 * bar,
                            grabber.bottom - 2);
        DrawEdge(dc, &rect, BDR_RAISEDINNER, BF_RECT);
    }
}

bool TDockTree::MouseDown(TPoint point) {
    for (TControl* client : VisibleClients()) {
        const TRect close = CloseButtonRect(*client);
        if (PtInRect(&close, point)) {
            client->SetVisible(false);  // the site lays the others out again
            site_.Invalidate();
            return true;
        }
        const TRect grabber = GrabberRect(*client);
        if (client->DragKind() == dkDock && PtInRect(&grabber, point)) {
            client->BeginDragAt(site_.ClientToScreen(point), false);
            return true;
        }
    }
    return false;
}
