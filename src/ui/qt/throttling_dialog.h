// The throttling dialog (dialog 135): changes the running profile's nine throttling fields in
// memory while the run goes on. Opened modally by the run dialog. GUI thread.
#pragma once

#include <QDialog>

#include "run/run_context.h"

namespace vl {

class ThrottlingFields;

class ThrottlingDialog : public QDialog {
  Q_OBJECT

 public:
  // Shows the current values of ctx.profile (which must be set).
  ThrottlingDialog(RunContext& ctx, QWidget* owner);

  // OK and Apply: reads and checks the fields; on the first failed check shows its box and
  // stores nothing; otherwise stores the nine values into ctx.profile one field at a time and
  // applies the priority to the worker. Returns whether the values were stored.
  bool apply();

 private:
  RunContext& ctx_;
  ThrottlingFields* fields_;
};

}  // namespace vl
