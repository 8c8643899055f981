#include "ui/kvr_screen_fit.h"

#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cmath>

std::optional<QMargins> kvr_frame_margins(const QWidget& w) {
    const QRect inner = w.geometry();
    const QRect outer = w.frameGeometry();
    const QMargins m(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                     outer.bottom() - inner.bottom());
    // No title bar yet, or a frame not yet in step with the window.
    if (m.top() <= 0 || m.left() < 0 || m.right() < 0 || m.bottom() < 0 || m.top() > inner.height())
        return std::nullopt;
    return m;
}

QMargins kvr_frame_estimate(const QWidget& w) {
    // A generous title bar and border, in device pixels whatever the scale.
    const auto device = [&w](int px) { return static_cast<int>(std::ceil(px / w.devicePixelRatioF())); };
    return QMargins(device(8), device(40), device(8), device(8));
}

QPoint kvr_into(const QRect& r, const QRect& area) {
    const int x = std::clamp(r.left(), area.left(), std::max(area.left(), area.right() + 1 - r.width()));
    const int y = std::clamp(r.top(), area.top(), std::max(area.top(), area.bottom() + 1 - r.height()));
    return QPoint(x, y) - r.topLeft();
}

QPoint kvr_position_to_ask(QPoint outer, bool frame_known, const QMargins& frame) {
    if (frame_known)
        return outer;
    // The title bar's estimated height above the client; at the sides the
    // one-pixel border managers draw (the generous side estimate would push
    // a window as wide as the area past its right edge).
    return outer + QPoint(std::min(frame.left(), 1), frame.top());
}

QPoint kvr_place_in(const QSize& size, const QMargins& frame, const QRect& over, const QRect& area) {
    const QSize outer = size.grownBy(frame);
    const QPoint centre = over.isEmpty() ? area.center() : over.center();
    QRect r(centre - QPoint(outer.width() / 2, outer.height() / 2), outer);
    r.translate(kvr_into(r, area));
    return r.topLeft() + QPoint(frame.left(), frame.top());
}

namespace {

// Watches one child window: placed at its first showing, its size checked
// once the manager's frame is known.
class screen_keeper : public QObject {
public:
    screen_keeper(QWidget* w, QSize minimum) : QObject(w), w_(w), minimum_(minimum) { w->installEventFilter(this); }

    bool eventFilter(QObject* o, QEvent* e) override {
        if (o != w_)
            return false;
        switch (e->type()) {
        case QEvent::Show:
            if (!placed_) {
                placed_ = true;
                place();
            }
            QTimer::singleShot(0, this, [this] { check(); });
            break;
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::ActivationChange:
            QTimer::singleShot(0, this, [this] { check(); });
            break;
        default:
            break;
        }
        return false;
    }

private:
    QRect area() const {
        const QScreen* s = w_->screen();
        return s ? s->availableGeometry() : QRect();
    }

    void place() {
        const QRect a = area();
        if (a.isEmpty())
            return;
        const std::optional<QMargins> known = kvr_frame_margins(*w_);
        const QMargins frame = known.value_or(kvr_frame_estimate(*w_));
        // One column spare: a requested position of 0,0 is taken for none.
        const QSize room = a.size().shrunkBy(frame + QMargins(0, 0, 1, 0));
        w_->setMinimumSize(w_->minimumSize().boundedTo(room).expandedTo(minimum_.boundedTo(room)).boundedTo(room));
        w_->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        w_->resize(w_->size().boundedTo(room));
        QRect over;
        if (const QWidget* p = w_->parentWidget())
            over = p->window()->frameGeometry();
        const QPoint outer = kvr_place_in(w_->size(), frame, over, a) - QPoint(frame.left(), frame.top());
        QPoint at = kvr_position_to_ask(outer, known.has_value(), frame);
        if (at.isNull())
            at.setX(1);
        w_->move(at);
    }

    // The frame known: the window gives up room so the frame ends inside
    // the area.
    void check() {
        if (checked_ || !w_ || !w_->isVisible())
            return;
        const std::optional<QMargins> frame = kvr_frame_margins(*w_);
        if (!frame)
            return;
        checked_ = true;
        const QSize room = area().size().shrunkBy(*frame);
        if (w_->width() > room.width() || w_->height() > room.height()) {
            w_->setMinimumSize(w_->minimumSize().boundedTo(room));
            w_->resize(w_->size().boundedTo(room));
        }
    }

    QPointer<QWidget> w_;
    QSize minimum_;
    bool placed_ = false;
    bool checked_ = false;
};

}  // namespace

void kvr_keep_on_screen(QWidget* w, QSize minimum) {
    if (w)
        new screen_keeper(w, minimum);
}
