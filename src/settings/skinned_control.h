// Skinned image controls: an ordinary child widget that shows a picture with
// per-pixel alpha over whatever its parent and the siblings beneath it show. The
// module keeps its state on the widgets themselves as dynamic properties
// (PngControl_*, Reror_*), so any number of objects may point at the same widget.
// User-interface thread only.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QWidget>
#include <optional>

class QEvent;

namespace settings {

// Property names kept on the widgets.
inline constexpr char kPropWndProc[] = "PngControl_WndProc";
inline constexpr char kPropType[] = "PngControl_Type";
inline constexpr char kPropCacheBitmap[] = "PngControl_CacheBitmap";
inline constexpr char kPropBackImage[] = "PngControl_BackImage";
inline constexpr char kPropBackType[] = "PngControl_BackType";
inline constexpr char kPropDrawState[] = "Reror_DrawState";
inline constexpr char kPropNormalImage[] = "PngControl_NormalImage";
inline constexpr char kPropOverlImage[] = "PngControl_OverlImage";
inline constexpr char kPropDownImage[] = "PngControl_DownImage";
inline constexpr char kPropDisableImage[] = "PngControl_DisableImage";
inline constexpr char kPropToolTips[] = "Reror_ToolTips";

inline constexpr int kTypePictureBox = 2;

// The window text every skinned picture box carries.
QString pictureBoxText();

class SkinnedControl {
public:
    SkinnedControl() = default;
    void Initialise() {}
    SkinnedControl Copy() const { return *this; }

    // Takes the widget's parent over (once per parent) and makes the widget paint
    // over what lies beneath it. False for no widget; nothing changes then.
    bool AttachControl(QWidget* window);
    QWidget* GetHandle() const { return m_window; }
    QWidget* GetWindow() const { return m_window; }
    bool IsValid() const { return !m_window.isNull(); }

    // A property that was never set reads as an invalid QVariant, which converts to 0.
    void SetProperty(const char* name, const QVariant& value);
    QVariant GetProperty(const char* name) const;
    // Delivers the event to the widget now; the widget's answer (accepted or not).
    bool SendMessage(QEvent* event);

    // Gives the widget a tool tip or changes its text. A tip added with atMouse false
    // is shown centred below the widget instead of at the mouse; later calls only
    // change the text.
    void SetToolTip(const QString& text, bool atMouse = true);
    // Omitted values keep the current position or size (relative to the parent).
    void Move(std::optional<int> left = {}, std::optional<int> top = {}, std::optional<int> width = {},
              std::optional<int> height = {}, bool noRedraw = false);
    void Redraw();

    // Creates a plain child widget in parent and makes it a skinned picture box.
    QWidget* CreatePictureBox(QWidget* parent, int left, int top, int width, int height);
    // Makes an existing widget a skinned picture box; the widget's own painting is
    // replaced by the module's from now on. A null image sets no back image.
    bool AttachPictureBox(QWidget* window, const QImage& image = {});
    // The picture drawn over the background; a null image shows only the background.
    void SetBackImage(const QImage& image);
    // Decodes the bytes (any supported format, recognised by content) as back image.
    void SetBackImageData(const QByteArray& bytes);
    // 0 natural size at the top left, 1 stretched, 2 fitted and centred; next paint.
    void SetBackType(int mode);

private:
    QPointer<QWidget> m_window;
};

// What lies beneath the widget inside its rectangle: its ancestors' painting and the
// siblings below it, without the widget itself.
QImage captureBeneath(QWidget* window);

// The pixels the widget shows: what lies beneath with the widget drawn over it.
// For a skinned picture box this is the background with the back image composed.
QImage captureWindowPixels(QWidget* window);

// What a custom-draw notification puts on the widget: its last background cache with
// the picture of its Reror_DrawState (the normal picture standing in for a state
// without one). Null before the widget's first paint.
QImage composeStatePicture(const QWidget* window);

// The custom-draw notification a skinned child sends its parent: the parent draws
// the child with the picture of its Reror_DrawState.
void sendCustomDraw(QWidget* child);

}  // namespace settings
