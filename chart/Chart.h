// The chart widget: two axes, line and point series with per-point colours, an after-draw
// drawing surface, bitmap export, and mouse zoom and panning.
#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace chart_detail {
struct FrameRecord;
struct CanvasMark;
}  // namespace chart_detail

class QAction;
class QMenu;
class QPainter;
class QToolButton;
class TChart;

// A setting the chart cannot honour; what() is a message fit to show the user.
class EChartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr QRgb clBlue = 0xff0000ffu;
inline constexpr QRgb clRed = 0xffff0000u;
inline constexpr QRgb clGreen = 0xff008000u;
inline constexpr QRgb clBlack = 0xff000000u;
inline constexpr QRgb clWhite = 0xffffffffu;

enum TPanningMode { pmNone = 0, pmHorizontal = 1, pmVertical = 2, pmBoth = 3 };
enum TAxisLabelStyle { talValue = 0 };

class TChartAxis {
 public:
  TChartAxis(TChart* owner, bool horizontal);

  bool Horizontal() const { return horizontal_; }

  double Minimum() const { return minimum_; }
  double Maximum() const { return maximum_; }
  // Values that are not finite are ignored.
  void SetMinimum(double v);
  void SetMaximum(double v);
  // Sorts the two values; a range narrower than 1e-10 becomes [v, v + 1e-10]. Turns the
  // automatic range off. Values that are not finite are ignored (the range stays).
  void SetRange(double a, double b);

  bool Automatic() const { return automatic_; }
  bool AutomaticMinimum() const { return automaticMinimum_; }
  bool AutomaticMaximum() const { return automaticMaximum_; }
  void SetAutomatic(bool on);
  void SetAutomaticMinimum(bool on);
  void SetAutomaticMaximum(bool on);

  bool Logarithmic() const { return logarithmic_; }
  // Throws EChartError (and changes nothing) when switching on with a negative limit.
  void SetLogarithmic(bool on);

  double Increment() const { return increment_; }
  // Throws EChartError (and changes nothing) for a negative or non-numeric step.
  void SetIncrement(double step);

  QString AxisValuesFormat() const { return valuesFormat_; }
  void SetAxisValuesFormat(const QString& pattern);
  TAxisLabelStyle LabelStyle() const { return labelStyle_; }
  void SetLabelStyle(TAxisLabelStyle style);
  int LabelsSeparation() const { return labelsSeparation_; }
  void SetLabelsSeparation(int percent);
  int MinorTickCount() const { return minorTickCount_; }
  void SetMinorTickCount(int count);
  QString TitleCaption() const { return titleCaption_; }
  void SetTitleCaption(const QString& caption);
  // Vertical axis only: false writes the title horizontally.
  bool TitleRotated() const { return titleRotated_; }
  void SetTitleRotated(bool rotated);
  // The axis line itself (labels, ticks and grid are drawn either way).
  bool AxisVisible() const { return axisVisible_; }
  void SetAxisVisible(bool visible);

  // Pixel column / row of value v on this axis's scale, in the chart's coordinates; not clamped.
  // With P = PlotRect(), start is P.left() (columns) or P.bottom() (rows) and the span runs to
  // P.right() or P.top(), so Minimum and Maximum both land on the plot's edge pixels.
  int ValueToX(double v) const;
  int ValueToY(double v) const;
  // The inverses: the value on this axis's scale at pixel column x / pixel row y.
  double XToValue(int x) const;
  double YToValue(int y) const;

  // Values at which labels and grid lines stand for the current range, size and step.
  std::vector<double> LabelValues() const;
  QString FormatLabel(double v) const;

 private:
  friend class TChart;
  void Changed();
  TChart* owner_;
  bool horizontal_;
  double minimum_ = 0.0;
  double maximum_ = 1.0;
  bool automatic_ = false;
  bool automaticMinimum_ = false;
  bool automaticMaximum_ = false;
  bool logarithmic_ = false;
  double increment_ = 0.0;
  QString valuesFormat_;
  TAxisLabelStyle labelStyle_ = talValue;
  int labelsSeparation_ = 10;
  int minorTickCount_ = 0;
  QString titleCaption_;
  bool titleRotated_ = true;
  bool axisVisible_ = true;
};

enum class TSeriesKind { Line, Point };
enum class TPointerStyle { Rectangle, Cross };

class TChartSeries {
 public:
  TChartSeries(TChart* owner, TSeriesKind kind, const QString& title);

  TSeriesKind Kind() const { return kind_; }
  QString Title() const { return title_; }

  // Clearing and adding only mark the chart for redrawing; they never draw.
  void ClearPoints();
  void AddPoint(double x, double y, QRgb colour);
  void AddPoints(const double* x, const double* y, int count, QRgb colour);
  int PointCount() const { return static_cast<int>(x_.size()); }
  const std::vector<double>& XValues() const { return x_; }
  const std::vector<double>& YValues() const { return y_; }
  const std::vector<QRgb>& Colours() const { return colours_; }
  void Repaint();

  QColor SeriesColor() const { return seriesColor_; }
  void SetSeriesColor(const QColor& c);
  bool MarksVisible() const { return marksVisible_; }
  void SetMarksVisible(bool v) { marksVisible_ = v; }
  bool PointerVisible() const { return pointerVisible_; }
  void SetPointerVisible(bool v);
  TPointerStyle PointerStyle() const { return pointerStyle_; }
  void SetPointerStyle(TPointerStyle s);
  int PointerHorizSize() const { return pointerHoriz_; }
  int PointerVertSize() const { return pointerVert_; }
  void SetPointerSize(int horiz, int vert);
  QColor PointerBrushColor() const { return pointerBrush_; }
  void SetPointerBrushColor(const QColor& c);
  bool Visible() const { return visible_; }
  void SetVisible(bool v);

 private:
  TChart* owner_;
  TSeriesKind kind_;
  QString title_;
  std::vector<double> x_, y_;
  std::vector<QRgb> colours_;
  QColor seriesColor_ = Qt::red;
  bool marksVisible_ = false;
  bool pointerVisible_ = false;
  TPointerStyle pointerStyle_ = TPointerStyle::Rectangle;
  int pointerHoriz_ = 1;
  int pointerVert_ = 1;
  QColor pointerBrush_ = Qt::red;
  bool visible_ = true;
};

enum TBrushStyle { bsSolid = 0, bsClear = 1 };
enum TPenMode { pmCopy = 0 };

// The surface handed to OnAfterDraw: pen, font and brush plus move-to / line-to / text-out with
// the semantics of the classic GDI calls (line-to leaves out its end pixel).
class TChartCanvas {
 public:
  explicit TChartCanvas(QPainter& painter);
  // Drawing on an image: thin lines are then written into its pixels directly, which is much
  // faster for dotted grids (the painter must be active on that image).
  TChartCanvas(QPainter& painter, QImage* image);

  // Pen black, width 1, solid; brush white, solid; font black, 10 point; opaque white text
  // background. The chart calls this just before OnAfterDraw.
  void Reset();

  void SetPenColor(const QColor& c);
  void SetPenMode(TPenMode mode);
  void SetPenStyle(Qt::PenStyle style);  // Qt::SolidLine or Qt::DotLine
  void SetPenWidth(int width);
  void SetFontCharset(int charset);
  void SetFontColor(const QColor& c);
  void SetFontHeight(int height);  // negative: character height in pixels
  void SetFontSize(int points);
  void SetBrushStyle(TBrushStyle style);  // bsClear makes text backgrounds transparent
  void SetBrushColor(const QColor& c);

  void MoveTo(int x, int y);
  void LineTo(int x, int y);
  void TextOut(int x, int y, const QString& text);

  // What the handler draws through the painter itself is not tracked: the chart then draws its
  // whole frame afresh, in this paint and the next.
  QPainter& Painter();

 private:
  friend class TChart;
  // Records the drawings into `record` instead of drawing them; the chart draws them later.
  TChartCanvas(QPainter& painter, QImage* image, chart_detail::FrameRecord* record);
  // Draws a drawing now, or records it.
  void Put(const chart_detail::CanvasMark& mark);
  void ApplyPen();
  void ApplyFont();
  QPainter& painter_;
  QColor penColor_;
  Qt::PenStyle penStyle_ = Qt::SolidLine;
  int penWidth_ = 1;
  QColor fontColor_;
  int fontPixels_ = 13;
  TBrushStyle brushStyle_ = bsSolid;
  QColor brushColor_;
  int x_ = 0;
  int y_ = 0;
  QImage* image_ = nullptr;
  chart_detail::FrameRecord* record_ = nullptr;
  TChart* chart_ = nullptr;  // draws what came before, when the recording stops
};

class TChart : public QWidget {
  Q_OBJECT
 public:
  explicit TChart(QWidget* parent = nullptr);
  ~TChart() override;

  TChartAxis& BottomAxis() { return *bottom_; }
  TChartAxis& LeftAxis() { return *left_; }
  const TChartAxis& BottomAxis() const { return *bottom_; }
  const TChartAxis& LeftAxis() const { return *left_; }

  // Later series are drawn over earlier ones. The chart owns them.
  TChartSeries* AddSeries(TSeriesKind kind, const QString& title);
  // A series at position index (0 to SeriesCount()), drawn under those after it.
  TChartSeries* InsertSeries(int index, TSeriesKind kind, const QString& title);
  int SeriesCount() const { return static_cast<int>(series_.size()); }
  TChartSeries* Series(int index) const { return series_.at(index).get(); }

  QColor BackColor() const { return backColor_; }
  void SetBackColor(const QColor& c);
  QColor BackWallColor() const { return backWallColor_; }
  void SetBackWallColor(const QColor& c);
  bool BackWallTransparent() const { return backWallTransparent_; }
  void SetBackWallTransparent(bool clear);

  // Whole percent of the control's width (left, right) or height (top, bottom).
  void SetMargins(int left, int right, int top, int bottom);
  int MarginLeft() const { return marginLeft_; }
  int MarginRight() const { return marginRight_; }
  int MarginTop() const { return marginTop_; }
  int MarginBottom() const { return marginBottom_; }

  bool TitleVisible() const { return titleVisible_; }
  void SetTitleVisible(bool v);
  QString TitleText() const { return titleText_; }
  void SetTitleText(const QString& t);
  bool LegendVisible() const { return legendVisible_; }
  void SetLegendVisible(bool v);
  bool View3D() const { return view3D_; }
  void SetView3D(bool v) { view3D_ = v; }

  bool AllowZoom() const { return allowZoom_; }
  void SetAllowZoom(bool on) { allowZoom_ = on; }
  TPanningMode AllowPanning() const { return allowPanning_; }
  void SetAllowPanning(TPanningMode mode) { allowPanning_ = mode; }

  // Raised at the end of every drawing, on the screen and into a bitmap.
  std::function<void(TChart* sender, TChartCanvas& canvas)> OnAfterDraw;

  // The plot area in the chart's coordinates: the control minus margins, labels and titles.
  QRect PlotRect() const;

  // Draws the whole chart (after-draw included) with a painter on a device of the chart's size;
  // the device's pixel ratio decides the resolution of the cached background.
  void Draw(QPainter& painter);
  // Draws the chart at its current size, exactly as on the screen, after-draw included. One image
  // pixel per logical pixel, whatever the screen's scale.
  QImage RenderImage();
  // Writes RenderImage() as a 24-bit Windows bitmap. On failure returns false and, when
  // error is given, a reason fit for the user.
  bool SaveChartBitmap(const QString& path, QString* error = nullptr);

  // Structure changed (axes, size, colours): drop cached background and redraw.
  void InvalidateLayout();
  // Data changed: redraw at the next paint.
  void InvalidateData();

  // Mouse zoom: whether a zoom is in force, and going back to the ranges before it. Axes
  // rescaled by the program since the zoom end it: the rescaled ranges are then in force.
  bool Zoomed() const;
  void UndoZoom();

  // The chart's own menu, filled by the owner. While it has entries a small button in the
  // top-right corner opens it, and so does a right-click without a drag (a right-drag still
  // pans). Every action put into it, submenus included, is also added to the chart itself, so
  // its shortcut works wherever the chart's window is active: do not add them to the window
  // as well, or the shortcuts become ambiguous. The button is drawn on the screen only, never
  // into RenderImage or the bitmap.
  QMenu* ChartMenu() const;
  // The menu's button: accessible name "Chart menu", reached with Tab, opened with Space.
  QToolButton* ChartMenuButton() const;
  // Opens the menu below its button (also the keyboard's context-menu key on the chart).
  void PopupChartMenu();
  // Entries that can be triggered (not separators or submenus) without a keyboard shortcut.
  std::vector<QAction*> MenuActionsWithoutShortcut() const;

  // A one-line read-out at the top of the chart, above the plot, on the screen and in exports.
  // Empty: nothing drawn and the layout stays as without it; while it is set the plot starts a
  // text line lower.
  void SetStateLine(const QString& text);
  QString StateLine() const { return stateLine_; }
  // Where the read-out is drawn; empty while it is empty.
  QRect StateLineRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Impl;
  void WatchMenu(QMenu* menu);
  void UnwatchMenu(QMenu* menu);
  void AdoptAction(QAction* a);
  void UpdateMenuButton();
  void DrawStateLine(QPainter& p);
  // Draws the frame at the pixel ratio dpr; what it changed is added to the unshown region.
  void RenderFrame(qreal dpr);
  // The frame drawn for changed data, and the changed pixels asked for, at the window's update
  // request.
  void ShowChanges();
  // The frame up to the after-draw's recorded drawings, for it to go on drawing through the
  // painter itself.
  void CatchUp(QPainter& fp);
  // Puts the background back wherever this frame may differ from the last; false when that
  // is most of it, for the caller to put back the whole. tracesChanged: the series may draw
  // otherwise than in the last frame.
  bool RestoreFrame(bool tracesChanged);
  void DrawBackground(QPainter& p);
  // The traces' segments and fills for this frame, and the columns they draw in.
  void LayOutSeries(qreal dpr);
  // p: the painter that draws on target, or null for the frame's own clipped to the plot.
  void DrawSeries(QPainter* p, QImage& target, qreal dpr);
  void UpdateAutomaticRanges();
  void KeepRangesLeft();
  std::unique_ptr<TChartAxis> bottom_;
  std::unique_ptr<TChartAxis> left_;
  std::vector<std::unique_ptr<TChartSeries>> series_;
  QColor backColor_ = QColor(0xf0, 0xf0, 0xf0);
  QColor backWallColor_ = Qt::white;
  bool backWallTransparent_ = false;
  int marginLeft_ = 3, marginRight_ = 3, marginTop_ = 4, marginBottom_ = 4;
  bool titleVisible_ = false;
  QString titleText_;
  bool legendVisible_ = false;
  bool view3D_ = false;
  bool allowZoom_ = true;
  TPanningMode allowPanning_ = pmBoth;
  QString stateLine_;
  QMenu* menu_ = nullptr;
  QToolButton* menuButton_ = nullptr;
  std::unique_ptr<Impl> impl_;
  friend class TChartAxis;
  friend class TChartCanvas;
};

// Writes an image as an uncompressed 24-bit Windows bitmap (BI_RGB, bottom-up rows padded to
// four bytes). Returns false with a reason when the file cannot be created or written.
bool WriteBitmap24(const QImage& image, const QString& path, QString* error = nullptr);
