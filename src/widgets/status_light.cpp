#include "widgets/status_light.h"

#include <QPainter>

#include "serial/serial_exceptions.h"
#include "widgets/qt_terminal_font.h"

namespace zarnik {

// ================================================================ the lamp

TCustomStatusLight::TCustomStatusLight(QWidget* parent) : QWidget(parent) {
  resize(kDefaultSize, kDefaultSize);
}

void TCustomStatusLight::SetLit(bool on) {
  if (on == lit_) return;
  lit_ = on;
  update();
}

void TCustomStatusLight::SetLitColor(TColor c) {
  litColor_ = c;
  update();
}

void TCustomStatusLight::SetNotLitColor(TColor c) {
  notLitColor_ = c;
  update();
}

void TCustomStatusLight::SetGlyph(const QImage& glyph) {
  glyph_ = glyph;
  update();
}

void TCustomStatusLight::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect r = rect();
  if (glyph_.isNull()) {
    p.fillRect(r, ToQColor(lit_ ? litColor_ : notLitColor_));
    // Two-line bevel: light from the top left.
    p.setPen(Qt::white);
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(ToQColor(0x808080));
    p.drawLine(r.topRight(), r.bottomRight());
    p.drawLine(r.bottomLeft(), r.bottomRight());
    return;
  }
  const QWidget* parent = parentWidget();
  p.fillRect(r, parent ? parent->palette().color(QPalette::Window)
                       : palette().color(QPalette::Window));
  const int half = glyph_.width() / 2;
  const QRgb key = glyph_.pixel(0, 0);
  QImage image = glyph_.copy(lit_ ? 0 : half, 0, half, glyph_.height())
                     .convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x)
      if ((line[x] | 0xFF000000u) == (key | 0xFF000000u)) line[x] = 0;
  }
  p.drawImage(0, 0, image);
}

// ================================================================ the controller

TCustomSLController::TCustomSLController(TComponent* owner) : TComponent(owner) {
  if (owner) SetComPort(SearchComPort(owner));
}

TCustomSLController::~TCustomSLController() {
  SetComPort(nullptr);
}

void TCustomSLController::SetComPort(TCustomComPort* port) {
  if (port == port_) return;
  const bool was = monitoring_ || wanted_;
  if (port_) {
    port_->DeregisterUserCallback(this);
    if (monitoring_) SetMonitoring(false);
  }
  port_ = port;
  monitoring_ = false;
  wanted_ = false;
  staleTriggers_ = false;
  if (!port_) return;
  if (was) SetMonitoring(true);
  port_->RegisterUserCallback(this, [this](TCustomComPort& p, bool opening) {
    StatPortClose(p, opening);
  });
}

void TCustomSLController::SetMonitoring(bool on) {
  if (Loading() || Designing() || on == monitoring_) return;
  if (!port_) throw EPortNotAssigned();
  if (!port_->GetOpen()) {
    wanted_ = on;
    if (on) return;
  }
  monitoring_ = on;
  if (on) {
    savedAvail_ = port_->OnTriggerAvail;
    savedStatus_ = port_->OnTriggerStatus;
    savedTimer_ = port_->OnTriggerTimer;
    port_->OnTriggerAvail = [this](PortContract& cp, uint16_t count) { TriggerAvail(cp, count); };
    port_->OnTriggerStatus = [this](TCustomComPort& cp, uint16_t h) { TriggerStatus(cp, h); };
    port_->OnTriggerTimer = [this](TCustomComPort& cp, uint16_t h) { TriggerTimer(cp, h); };
    AddTriggers();
  } else {
    port_->OnTriggerAvail = savedAvail_;
    port_->OnTriggerStatus = savedStatus_;
    port_->OnTriggerTimer = savedTimer_;
    RemoveTriggers();
  }
  InitLights();
}

void TCustomSLController::AddTriggers() {
  TCustomComPort& p = *port_;
  try {
    const TLightSet& l = Lights;
    modemMask_ = 0;
    if (l.CTSLight) modemMask_ |= msCtsOn;
    if (l.DSRLight) modemMask_ |= msDsrOn;
    if (l.DCDLight) modemMask_ |= msRlsdOn;
    if (l.RINGLight) modemMask_ |= kRingSeen;
    if (modemMask_) modemTrigger_ = p.AddStatusTrigger(stModem);
    if (l.RINGLight) ringTimer_ = p.AddTimerTrigger();
    if (l.ERRORLight) {
      errorTrigger_ = p.AddStatusTrigger(stLineError);
      errorTimer_ = p.AddTimerTrigger();
    }
    if (l.BREAKLight) {
      breakTrigger_ = p.AddStatusTrigger(stLineError);
      breakTimer_ = p.AddTimerTrigger();
    }
    if (l.RXDLight) rxdTimer_ = p.AddTimerTrigger();
    if (l.TXDLight) {
      txdTrigger_ = p.AddStatusTrigger(stOutSent);
      txdTimer_ = p.AddTimerTrigger();
    }
    if (modemTrigger_) p.SetStatusTrigger(modemTrigger_, modemMask_, true);
    if (errorTrigger_) p.SetStatusTrigger(errorTrigger_, kErrorMask, true);
    if (breakTrigger_) p.SetStatusTrigger(breakTrigger_, kBreakMask, true);
    if (txdTrigger_) p.SetStatusTrigger(txdTrigger_, 0, true);
  } catch (const ESerialException&) {
    RemoveTriggers();
    modemMask_ = 0;
  }
}

void TCustomSLController::RemoveTriggers() {
  for (uint16_t* h : {&modemTrigger_, &ringTimer_, &errorTrigger_, &errorTimer_, &breakTrigger_,
                      &breakTimer_, &rxdTimer_, &txdTrigger_, &txdTimer_}) {
    if (*h && port_ && port_->PortState() == psOpen) {
      try {
        port_->RemoveTrigger(*h);
      } catch (const ESerialException&) {
        // Gone already (the port dropped its triggers).
      }
    }
    *h = 0;
  }
  staleTriggers_ = false;
}

void TCustomSLController::InitLights() {
  for (TCustomStatusLight* lamp :
       {Lights.CTSLight, Lights.DSRLight, Lights.DCDLight, Lights.RINGLight, Lights.TXDLight,
        Lights.RXDLight, Lights.ERRORLight, Lights.BREAKLight})
    Light(lamp, false);
  if (!port_ || !monitoring_) return;
  if (Lights.CTSLight) Light(Lights.CTSLight, port_->GetCTS());
  if (Lights.DSRLight) Light(Lights.DSRLight, port_->GetDSR());
  if (Lights.DCDLight) Light(Lights.DCDLight, port_->GetDCD());
}

void TCustomSLController::StatPortClose(TCustomComPort&, bool opening) {
  if (!opening) {
    wanted_ = monitoring_;
    if (monitoring_) {
      // The port is closed: its handlers go back; our triggers stay with the port's
      // saved ones and are taken out when it opens again.
      port_->OnTriggerAvail = savedAvail_;
      port_->OnTriggerStatus = savedStatus_;
      port_->OnTriggerTimer = savedTimer_;
      monitoring_ = false;
      staleTriggers_ = true;
      InitLights();
    }
    return;
  }
  if (staleTriggers_) RemoveTriggers();
  if (wanted_) {
    wanted_ = false;
    SetMonitoring(true);
  }
}

void TCustomSLController::TriggerAvail(PortContract& cp, uint16_t count) {
  TCustomStatusLight* rxd = Lights.RXDLight;
  if (rxd && !rxd->Lit()) {
    rxd->SetLit(true);
    port_->SetTimerTrigger(rxdTimer_, RXDOffTimeout, true);
  }
  if (savedAvail_) savedAvail_(cp, count);
}

void TCustomSLController::TriggerStatus(TCustomComPort& cp, uint16_t handle) {
  if (handle == modemTrigger_ && modemTrigger_) {
    if (Lights.DCDLight) Light(Lights.DCDLight, cp.GetDCD());
    if (Lights.CTSLight) Light(Lights.CTSLight, cp.GetCTS());
    if (Lights.DSRLight) Light(Lights.DSRLight, cp.GetDSR());
    if (Lights.RINGLight && cp.GetDeltaRI() && !Lights.RINGLight->Lit()) {
      Light(Lights.RINGLight, true);
      cp.SetTimerTrigger(ringTimer_, RingOffTimeout, true);
    }
    cp.SetStatusTrigger(modemTrigger_, modemMask_, true);
  } else if (handle == errorTrigger_ && errorTrigger_) {
    Light(Lights.ERRORLight, true);
    cp.SetTimerTrigger(errorTimer_, ErrorOffTimeout, true);
    cp.GetLineError();
  } else if (handle == breakTrigger_ && breakTrigger_) {
    Light(Lights.BREAKLight, true);
    cp.SetTimerTrigger(breakTimer_, BreakOffTimeout, true);
    cp.GetLineBreak();
  } else if (handle == txdTrigger_ && txdTrigger_) {
    Light(Lights.TXDLight, true);
    cp.SetTimerTrigger(txdTimer_, TXDOffTimeout, true);
  }
  if (savedStatus_) savedStatus_(cp, handle);
}

void TCustomSLController::TriggerTimer(TCustomComPort& cp, uint16_t handle) {
  if (handle == 0) {
    // Not one of ours (every trigger handle is a non-zero multiple of 8).
  } else if (handle == errorTimer_) {
    Light(Lights.ERRORLight, false);
    cp.SetStatusTrigger(errorTrigger_, kErrorMask, true);
  } else if (handle == breakTimer_) {
    Light(Lights.BREAKLight, false);
    cp.SetStatusTrigger(breakTrigger_, kBreakMask, true);
  } else if (handle == rxdTimer_) {
    if (cp.InBuffUsed() > 0)
      cp.SetTimerTrigger(rxdTimer_, RXDOffTimeout, true);
    else
      Light(Lights.RXDLight, false);
  } else if (handle == txdTimer_) {
    if (cp.GetOutBuffUsed() > 0) {
      cp.SetTimerTrigger(txdTimer_, TXDOffTimeout, true);
    } else {
      Light(Lights.TXDLight, false);
      cp.SetStatusTrigger(txdTrigger_, 0, true);
    }
  } else if (handle == ringTimer_) {
    Light(Lights.RINGLight, false);
  }
  if (savedTimer_) savedTimer_(cp, handle);
}

}  // namespace zarnik
