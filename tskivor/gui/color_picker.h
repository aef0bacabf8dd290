// "Color Picker": a hue/saturation wheel with a brightness bar, an RGB cube
// with a marker on each axis, and six fields; every change in one model is
// carried over to the other at once.
#pragma once

#include <QDialog>
#include <QGroupBox>
#include <QImage>

#include <array>
#include <optional>

#include "colour.h"

class QSpinBox;

namespace tskivor {

class CColorPicker;
class Swatch;

// A panel of the picker: its picture with the markers drawn over it by
// exclusive-or, rendered afresh for every paint.
class PickerPanel : public QGroupBox {
    Q_OBJECT
public:
    PickerPanel(const QString& title, CColorPicker& picker) : QGroupBox(title), picker_(picker) {}
    virtual QImage render() const = 0;

protected:
    void paintEvent(QPaintEvent*) override;
    CColorPicker& picker_;
};

// The "HSB" panel: the wheel and the brightness bar.
class WheelPanel : public PickerPanel {
    Q_OBJECT
public:
    explicit WheelPanel(CColorPicker& picker);
    QPoint wheelCorner() const;  // where the wheel image is drawn
    QRect brightnessBar() const;
    QImage render() const override;

protected:
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;

private:
    enum class Drag { None, HueSaturation, Brightness };
    void apply(QPoint p);
    Drag drag_ = Drag::None;
};

// The "RGB" panel: the cube with its three axis markers.
class CubePanel : public PickerPanel {
    Q_OBJECT
public:
    explicit CubePanel(CColorPicker& picker);
    QPoint cubeCorner() const;
    QImage render() const override;

protected:
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;

private:
    std::optional<picker::Axis> drag_;
};

class CColorPicker : public QDialog {
    Q_OBJECT
public:
    // `initial` in the platform colour form (red in the low byte).
    explicit CColorPicker(std::uint32_t initial, QWidget* parent = nullptr);

    Rgb rgb() const { return rgb_; }
    Hsb hsb() const { return hsb_; }
    Rgb initialRgb() const { return initial_; }
    void setRgb(Rgb c);  // recomputes HSB
    void setHsb(Hsb c);  // recomputes RGB

    QSpinBox* field(int index) const { return fields_[index]; }  // R G B H S B
    WheelPanel* wheelPanel() const { return wheel_; }
    CubePanel* cubePanel() const { return cube_; }

    static const QImage& wheelImage();
    static const QImage& cubeImage();

private:
    // The six field values: red, green, blue, hue, saturation, brightness.
    std::array<int, 6> values() const {
        return {rgb_.red, rgb_.green, rgb_.blue, hsb_.hue, hsb_.saturation, hsb_.brightness};
    }
    void fieldChanged(int index, int value);
    void refresh();

    Rgb rgb_;
    Hsb hsb_;
    Rgb initial_;
    QSpinBox* fields_[6]{};
    WheelPanel* wheel_ = nullptr;
    CubePanel* cube_ = nullptr;
    Swatch* newSwatch_ = nullptr;
    bool initialised_ = false;
    bool redrawing_ = false;
};

}  // namespace tskivor
