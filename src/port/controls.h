// Numeric identifiers of the run dialog's controls (dialog 130) and of the buttons the core
// enables, disables or relabels.
#pragma once

namespace vl {

constexpr int kCtlButtonCancel = 2;  // "Cancel" while the worker runs, "Close" afterwards
constexpr int kCtlProfileName = 1004;
constexpr int kCtlTagName = 1005;
constexpr int kCtlButtonPause = 1008;
constexpr int kCtlButtonLogs = 1009;
constexpr int kCtlButtonThrottling = 1010;
constexpr int kCtlDirectory = 1012;
constexpr int kCtlFilename = 1013;
constexpr int kCtlSize = 1014;
constexpr int kCtlFileProgress = 1015;
constexpr int kCtlBlockText = 1016;
constexpr int kCtlSent = 1017;
constexpr int kCtlDirectories = 1018;
constexpr int kCtlFiles = 1019;
constexpr int kCtlFilesSkipped = 1020;
constexpr int kCtlBytesTotal = 1021;
constexpr int kCtlBytesSkipped = 1022;
constexpr int kCtlBytesStored = 1023;
constexpr int kCtlBytesCompressed = 1024;
constexpr int kCtlBlocksTotal = 1025;
constexpr int kCtlNetTx = 1026;
constexpr int kCtlBlocksStored = 1027;
constexpr int kCtlBlocksDuped = 1028;
constexpr int kCtlTxRate = 1029;
constexpr int kCtlNetRx = 1030;
constexpr int kCtlRxRate = 1031;
constexpr int kCtlStartTime = 1032;
constexpr int kCtlElapsed = 1033;
constexpr int kCtlStatus = 1034;
constexpr int kCtlVersion = 1045;
// Added on Linux: the reason behind the status line (the TLS library's, shown as its tooltip
// and once on the console), and the last failed connection attempt's cause and target, shown
// under the status line while retrying ("" hides it).
constexpr int kCtlStatusReason = 1050;
constexpr int kCtlLastAttempt = 1051;

}  // namespace vl
