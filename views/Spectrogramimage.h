// A spectrogram picture: the core's pixels with frequency and time axes and a colour bar. Needs
// only QtGui, so that the command line can write the same picture as the window.
#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <vector>

#include "Spectrogramcore.h"

class QPainter;

// Room around the plot area for the labels and the colour bar.
inline constexpr int kSpectrogramMarginLeft = 54;
inline constexpr int kSpectrogramMarginRight = 66;
inline constexpr int kSpectrogramMarginTop = 10;
inline constexpr int kSpectrogramMarginBottom = 34;

QRect SpectrogramPlotRect(const QSize& picture);
QSize SpectrogramPictureSize(int plotWidth, int plotHeight);

// Everything but the pixels: background, frequency labels of each plot, time scale, colour bar.
void DrawSpectrogramFrame(QPainter& p, Spectrogram& s, const QRect& plot);
// The pixels as they are (call Render first), oldest at the left, newest at the right.
void DrawSpectrogramPixels(QPainter& p, const Spectrogram& s, const QRect& plot);
// The whole picture at the core's size, after drawing what is pending.
QImage SpectrogramPicture(Spectrogram& s);
// Written whole (WriteFileWhole): on failure nothing is left behind, an old file stays as it
// was, and error (when given) says "path: reason".
bool WriteSpectrogramPng(const QImage& image, const QString& path, QString* error = nullptr);

// A run of blocks as the command line collects them from a file.
struct SpectrogramColumns {
  int Bins = 0;
  double SamplingRate = 0;
  double FFTLength = 0;
  int NumChannels = 1;
  std::vector<double> Frequency;           // empty: k * SamplingRate / FFTLength
  std::vector<std::vector<double>> Left;   // one column of Bins levels (dB) per block
  std::vector<std::vector<double>> Right;  // empty in mono
};
struct SpectrogramStyle {
  FrequencyScale Scale = FrequencyScale::Logarithmic;
  double LowFrequency = 10, HighFrequency = 22050;
  double Floor = -120, Ceiling = 0;
  ChannelView View = ChannelView::Both;
  int PlotWidth = 0;  // 0: one pixel per block, at least 200
  int PlotHeight = 400;
};
// The whole run across the width, with its axes.
QImage RenderSpectrogram(const SpectrogramColumns& columns, const SpectrogramStyle& style);
