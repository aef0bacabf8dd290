#include "color_picker.h"

#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tskivor {

using namespace picker;

namespace {

QColor toQColor(Rgb c) { return QColor(c.red, c.green, c.blue); }

// Both images are generated with a transparent background, so that the
// dialog's button face shows around them (the stored images' light grey was
// replaced by the button face for the same effect).
QImage makeWheel() {
    QImage img(kWheelWidth, kWheelHeight, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    for (int y = 0; y < kWheelHeight; ++y) {
        for (int x = 0; x < kWheelWidth; ++x) {
            if (onWheel(QPoint(x, y))) img.setPixelColor(x, y, toQColor(hsbToRgb(hueSaturationAt(QPoint(x, y), 255))));
        }
    }
    return img;
}

QImage makeCube() {
    // The three faces that meet at black, each shaded by its two components.
    QImage img(kCubeSize, kCubeSize, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    const QPointF o(kCubeOrigin), r = QPointF(kRedEnd) - o, g = QPointF(kGreenEnd) - o, b = QPointF(kBlueEnd) - o;
    struct Face {
        QPointF u, v;
        int cu, cv;  // which components: 0 red, 1 green, 2 blue
    } faces[] = {{r, g, 0, 1}, {r, b, 0, 2}, {g, b, 1, 2}};
    for (int y = 0; y < kCubeSize; ++y) {
        for (int x = 0; x < kCubeSize; ++x) {
            const QPointF d = QPointF(x, y) - o;
            for (const Face& f : faces) {
                const double det = f.u.x() * f.v.y() - f.u.y() * f.v.x();
                const double a = (d.x() * f.v.y() - d.y() * f.v.x()) / det;
                const double c = (f.u.x() * d.y() - f.u.y() * d.x()) / det;
                if (a < 0 || c < 0 || a > 1 || c > 1) continue;
                int comp[3] = {0, 0, 0};
                comp[f.cu] = static_cast<int>(a * 255);
                comp[f.cv] = static_cast<int>(c * 255);
                img.setPixelColor(x, y, QColor(comp[0], comp[1], comp[2]));
                break;
            }
        }
    }
    return img;
}

// Where the pictures start in their group boxes, below the title and frame.
constexpr int kPanelTop = 26;

void xorSquare(QPainter& p, QPoint centre) { p.drawRect(QRect(centre - QPoint(5, 5), QSize(10, 10))); }

}  // namespace

const QImage& CColorPicker::wheelImage() {
    static const QImage image = makeWheel();
    return image;
}

const QImage& CColorPicker::cubeImage() {
    static const QImage image = makeCube();
    return image;
}

void PickerPanel::paintEvent(QPaintEvent* e) {
    {
        QPainter p(this);
        p.drawImage(0, 0, render());
    }
    QGroupBox::paintEvent(e);
}

// A swatch with a sunken 3-D frame whose inner edge is light and dark grey.
class Swatch : public QFrame {
public:
    explicit Swatch(QWidget* parent) : QFrame(parent) {
        setMinimumSize(60, 30);
        setObjectName(QStringLiteral("swatch"));
    }
    QColor colour;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QRect r = rect();
        p.fillRect(r.adjusted(2, 2, -2, -2), colour);
        p.setPen(QColor(128, 128, 128));
        p.drawLine(r.topLeft(), r.topRight());
        p.drawLine(r.topLeft(), r.bottomLeft());
        p.setPen(Qt::white);
        p.drawLine(r.bottomLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomRight());
        p.setPen(QColor(128, 128, 128));
        p.drawLine(r.topLeft() + QPoint(1, 1), r.topRight() + QPoint(-1, 1));
        p.drawLine(r.topLeft() + QPoint(1, 1), r.bottomLeft() + QPoint(1, -1));
        p.setPen(QColor(192, 192, 192));
        p.drawLine(r.bottomLeft() + QPoint(1, -1), r.bottomRight() + QPoint(-1, -1));
        p.drawLine(r.topRight() + QPoint(-1, 1), r.bottomRight() + QPoint(-1, -1));
    }
};

// --- wheel panel ---------------------------------------------------------

WheelPanel::WheelPanel(CColorPicker& picker) : PickerPanel(QStringLiteral("HSB"), picker) {
    setMinimumSize(15 + kWheelWidth + 40 + 15, kPanelTop + 10 + kWheelHeight + 10);
}

// Below the group box's frame with room to spare: the brightness marker
// reaches 4 pixels above the bar, the axis markers 5 around their point.
QPoint WheelPanel::wheelCorner() const { return QPoint(5 + 10, kPanelTop + 10); }

QRect WheelPanel::brightnessBar() const {
    const QPoint c = wheelCorner();
    return QRect(QPoint(c.x() + kWheelWidth + 20, c.y()), QPoint(c.x() + kWheelWidth + 40 - 1, c.y() + kWheelHeight - 1));
}

QImage WheelPanel::render() const {
    QImage img(size(), QImage::Format_RGB32);
    img.fill(palette().color(QPalette::Button));
    QPainter p(&img);
    const QPoint corner = wheelCorner();
    p.drawImage(corner, CColorPicker::wheelImage());
    // The bar: row k shows the current hue and saturation at brightness
    // (height - 1 - k) * 255 / height.
    const QRect bar = brightnessBar();
    const Hsb now = picker_.hsb();
    for (int k = 0; k < bar.height(); ++k) {
        const int v = (bar.height() - 1 - k) * 255 / bar.height();
        p.setPen(toQColor(hsbToRgb({now.hue, now.saturation, v})));
        p.drawLine(bar.left(), bar.top() + k, bar.right(), bar.top() + k);
    }
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    p.setPen(QPen(Qt::white, 1));
    xorSquare(p, corner + wheelPoint(now.hue, now.saturation));
    const int y = bar.bottom() - now.brightness * bar.height() / 255;
    p.drawRect(QRect(QPoint(bar.left() - 2, y - 4), QPoint(bar.right() + 2, y + 4)));
    return img;
}

void WheelPanel::apply(QPoint p) {
    Hsb now = picker_.hsb();
    if (drag_ == Drag::HueSaturation) {
        now = hueSaturationAt(p - wheelCorner(), now.brightness);
    } else if (drag_ == Drag::Brightness) {
        const QRect bar = brightnessBar();
        now.brightness = brightnessAt(p.y(), bar.top(), bar.height());
    }
    picker_.setHsb(now);
}

void WheelPanel::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    const QPoint p = e->position().toPoint();
    if (onWheel(p - wheelCorner())) {
        drag_ = Drag::HueSaturation;
    } else if (brightnessBar().contains(p)) {
        drag_ = Drag::Brightness;
    } else {
        return;  // outside both: nothing
    }
    grabMouse();
    apply(p);
}

void WheelPanel::mouseMoveEvent(QMouseEvent* e) {
    if (drag_ != Drag::None) apply(e->position().toPoint());
}

void WheelPanel::mouseReleaseEvent(QMouseEvent*) {
    if (drag_ != Drag::None) releaseMouse();
    drag_ = Drag::None;
}

// --- cube panel ----------------------------------------------------------

CubePanel::CubePanel(CColorPicker& picker) : PickerPanel(QStringLiteral("RGB"), picker) {
    setMinimumSize(2 + kCubeSize + 10, kPanelTop + kCubeSize + 10);
}

QPoint CubePanel::cubeCorner() const { return QPoint(5 - 3, kPanelTop); }

QImage CubePanel::render() const {
    QImage img(size(), QImage::Format_RGB32);
    img.fill(palette().color(QPalette::Button));
    QPainter p(&img);
    const QPoint c = cubeCorner();
    p.drawImage(c, CColorPicker::cubeImage());
    p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    p.setPen(QPen(Qt::white, 1));
    const Rgb now = picker_.rgb();
    const QPoint o = kCubeOrigin;
    const QPoint r = axisPoint(Axis::Red, now.red) - o, g = axisPoint(Axis::Green, now.green) - o,
                 b = axisPoint(Axis::Blue, now.blue) - o;
    // Guide lines: the parallelepiped spanned by the three component vectors,
    // as one path: with a component at 0 some edges coincide, and drawn one
    // by one the exclusive-or pen would erase what it drew the first time.
    const QPoint edges[][2] = {{r, r + g}, {r, r + b}, {g, g + r}, {g, g + b}, {b, b + r}, {b, b + g},
                               {r + g, r + g + b}, {r + b, r + g + b}, {g + b, r + g + b}};
    std::vector<std::pair<QPoint, QPoint>> drawn;
    QPainterPath guide;
    for (const auto& e : edges) {
        const bool ordered = e[0].x() != e[1].x() ? e[0].x() < e[1].x() : e[0].y() < e[1].y();
        const std::pair<QPoint, QPoint> key = ordered ? std::pair(e[0], e[1]) : std::pair(e[1], e[0]);
        if (e[0] == e[1] || std::find(drawn.begin(), drawn.end(), key) != drawn.end()) continue;
        drawn.push_back(key);
        guide.moveTo(c + o + e[0]);
        guide.lineTo(c + o + e[1]);
    }
    p.drawPath(guide);
    for (QPoint v : {r, g, b}) xorSquare(p, c + o + v);
    return img;
}

void CubePanel::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    const QPoint rel = e->position().toPoint() - cubeCorner();
    const Rgb now = picker_.rgb();
    const std::pair<Axis, int> axes[] = {{Axis::Red, now.red}, {Axis::Green, now.green}, {Axis::Blue, now.blue}};
    for (const auto& [axis, value] : axes) {
        if (QRect(axisPoint(axis, value) - QPoint(5, 5), QSize(11, 11)).contains(rel)) {
            drag_ = axis;
            grabMouse();
            return;
        }
    }
}

void CubePanel::mouseMoveEvent(QMouseEvent* e) {
    if (!drag_) return;
    const QPoint rel = e->position().toPoint() - cubeCorner();
    Rgb now = picker_.rgb();
    int* component = *drag_ == Axis::Red ? &now.red : *drag_ == Axis::Green ? &now.green : &now.blue;
    *component = axisValueAt(*drag_, rel, axisPoint(*drag_, *component));
    picker_.setRgb(now);
}

void CubePanel::mouseReleaseEvent(QMouseEvent*) {
    if (drag_) releaseMouse();
    drag_.reset();
}

// --- dialog --------------------------------------------------------------

CColorPicker::CColorPicker(std::uint32_t initial, QWidget* parent)
    : QDialog(parent), rgb_(fromPlatformColour(initial)), hsb_(rgbToHsb(rgb_)), initial_(rgb_) {
    setWindowTitle(QStringLiteral("Color Picker"));
    wheel_ = new WheelPanel(*this);
    cube_ = new CubePanel(*this);
    auto* panels = new QHBoxLayout;
    panels->addWidget(wheel_);
    panels->addWidget(cube_);

    auto* values = new QGridLayout;
    const char* names[] = {"Red:", "Green:", "Blue:", "Hue:", "Saturation:", "Brightness:"};
    for (int i = 0; i < 6; ++i) {
        fields_[i] = new QSpinBox;
        // Wider than the values, so that an entry out of range is clamped
        // rather than refused keystroke by keystroke.
        fields_[i]->setRange(-9999, 9999);
        values->addWidget(new QLabel(QString::fromLatin1(names[i])), i % 3, (i / 3) * 2);
        values->addWidget(fields_[i], i % 3, (i / 3) * 2 + 1);
        connect(fields_[i], &QSpinBox::valueChanged, this, [this, i](int v) { fieldChanged(i, v); });
    }
    auto* swatches = new QGridLayout;
    auto* oldSwatch = new Swatch(this);
    oldSwatch->colour = toQColor(initial_);
    newSwatch_ = new Swatch(this);
    swatches->addWidget(new QLabel(QStringLiteral("Old Color")), 0, 0);
    swatches->addWidget(new QLabel(QStringLiteral("New Color")), 0, 1);
    swatches->addWidget(oldSwatch, 1, 0);
    swatches->addWidget(newSwatch_, 1, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* bottom = new QHBoxLayout;
    bottom->addLayout(values);
    bottom->addLayout(swatches);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(panels);
    layout->addLayout(bottom);
    layout->addWidget(buttons);
    refresh();
    initialised_ = true;
}

void CColorPicker::setRgb(Rgb c) {
    rgb_ = {clampComponent(c.red), clampComponent(c.green), clampComponent(c.blue)};
    hsb_ = rgbToHsb(rgb_);
    refresh();
}

void CColorPicker::setHsb(Hsb c) {
    hsb_ = {clampHue(c.hue), clampComponent(c.saturation), clampComponent(c.brightness)};
    rgb_ = hsbToRgb(hsb_);
    refresh();
}

void CColorPicker::fieldChanged(int index, int value) {
    if (!initialised_ || redrawing_) return;
    if (value == values()[index]) return;
    if (index < 3) {
        Rgb c = rgb_;
        (index == 0 ? c.red : index == 1 ? c.green : c.blue) = value;
        setRgb(c);
    } else {
        Hsb c = hsb_;
        (index == 3 ? c.hue : index == 4 ? c.saturation : c.brightness) = value;
        setHsb(c);
    }
}

void CColorPicker::refresh() {
    if (redrawing_) return;
    redrawing_ = true;
    const auto current = values();
    for (int i = 0; i < 6; ++i) fields_[i]->setValue(current[i]);
    newSwatch_->colour = toQColor(rgb_);
    newSwatch_->update();
    wheel_->update();
    cube_->update();
    redrawing_ = false;
}

}  // namespace tskivor
