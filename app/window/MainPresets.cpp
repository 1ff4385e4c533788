// TfrmMain: the preset list, the rewrap entry at its head, and the entry
// remembered between sessions (see Main.h).
#include <QAbstractItemView>

#include <algorithm>
#include <cstdio>

#include "ConvertRecord.h"
#include "FormCommon.h"
#include "Main.h"

using namespace qvwindow;

void TfrmMain::LoadPresetList() {
  cbFormats->clear();
  FRewrapEntry = rkNone;
  LoadPresets(FPresetFile);
  FPresetEntries.clear();
  for (size_t i = 0; i < Presets.size(); ++i) {
    if (!Presets[i].Problem.empty()) {
      std::fprintf(stderr, "The preset '%s' cannot be used: %s\n", Presets[i].Name.c_str(), Presets[i].Problem.c_str());
      continue;
    }
    cbFormats->addItem(FromStd(Presets[i].Name));
    FPresetEntries.push_back(i);
  }
  if (cbFormats->count() > 0) cbFormats->setCurrentIndex(0);
  FitPresetPopup();

  // The choices of earlier sessions: the preset last converted with, if the
  // preset file still has it.
  FPreferRewrap = Settings->value(KeyRewrap, true).toBool();
  FPreferredPreset = Settings->value(KeyPreset).toString();
  const int remembered = FPreferredPreset.isEmpty() ? -1 : cbFormats->findText(FPreferredPreset, Qt::MatchExactly);
  if (remembered >= 0) cbFormats->setCurrentIndex(remembered);
}

void TfrmMain::ApplyPreferredEntry(bool AWasRewrap) {
  if (FRewrapEntry != rkNone && FPreferRewrap) {
    cbFormats->setCurrentIndex(0);
    return;
  }
  const int offset = FRewrapEntry != rkNone ? 1 : 0;
  if (cbFormats->currentIndex() < offset || (AWasRewrap && FRewrapEntry == rkNone)) {
    // The rewrap was chosen but does not count for this file: the preset
    // last converted with, else the first.
    const int remembered = FPreferredPreset.isEmpty() ? -1 : cbFormats->findText(FPreferredPreset, Qt::MatchExactly);
    cbFormats->setCurrentIndex(remembered >= offset ? remembered : (cbFormats->count() > offset ? offset : -1));
  }
}

void TfrmMain::RememberEntry() {
  if (FRewrapEntry != rkNone) {
    FPreferRewrap = SelectedRewrap() != rkNone;
    Settings->setValue(KeyRewrap, FPreferRewrap);
  }
  if (const TFormat *preset = SelectedPreset()) {
    FPreferredPreset = FromStd(preset->Name);
    Settings->setValue(KeyPreset, FPreferredPreset);
  }
  Settings->sync();
}

void TfrmMain::FitPresetPopup() {
  // The open list shows every name whole, however narrow the box.
  int widest = 0;
  for (int i = 0; i < cbFormats->count(); ++i)
    widest = std::max(widest, cbFormats->view()->fontMetrics().horizontalAdvance(cbFormats->itemText(i)));
  cbFormats->view()->setMinimumWidth(widest + 40);
}

QString TfrmMain::MissingEncoderText() const {
  const TFormat *preset = SelectedPreset();
  const std::string missing = preset ? MissingEncoder(*preset) : std::string();
  if (missing.empty()) return {};
  return QStringLiteral("This preset needs the encoder '%1', which the media libraries lack").arg(FromStd(missing));
}

void TfrmMain::SetRewrapEntry(TRewrapKind AKind) {
  if (AKind == FRewrapEntry) return;
  const int offset = FRewrapEntry != rkNone ? 1 : 0;
  const bool rewrapChosen = offset == 1 && cbFormats->currentIndex() == 0;
  const int preset = cbFormats->currentIndex() - offset;  // below 0: the rewrap or nothing
  if (offset == 1) cbFormats->removeItem(0);
  FRewrapEntry = AKind;
  const int newOffset = AKind != rkNone ? 1 : 0;
  if (AKind != rkNone) cbFormats->insertItem(0, FromStd(RewrapName(AKind)));
  // The user's choice holds: the same preset, or the rewrap while files
  // allow one (else the first preset, as at start).
  if (rewrapChosen)
    cbFormats->setCurrentIndex(AKind != rkNone ? 0 : (FPresetEntries.empty() ? -1 : 0));
  else
    cbFormats->setCurrentIndex(preset >= 0 ? preset + newOffset : -1);
  FitPresetPopup();
}

TRewrapKind TfrmMain::SelectedRewrap() const {
  return FRewrapEntry != rkNone && cbFormats->currentIndex() == 0 ? FRewrapEntry : rkNone;
}

const TFormat *TfrmMain::SelectedPreset() const {
  const int i = cbFormats->currentIndex() - (FRewrapEntry != rkNone ? 1 : 0);
  if (i < 0 || static_cast<size_t>(i) >= FPresetEntries.size() || FPresetEntries[i] >= Presets.size()) return nullptr;
  return &Presets[FPresetEntries[static_cast<size_t>(i)]];
}
