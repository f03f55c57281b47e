// The user-interface texts, UTF-8.
#pragma once

constexpr char kAppTitle[] = "Marrowby";
constexpr char kSocketInitFailed[] = "Windows ｿｹｯﾄの初期化に失敗しました。";
constexpr char kSettingsMissing[] = "が見つかりません";
constexpr char kCannotOpen[] = "が、開けません";
constexpr char kHomeNotWritable[] = "に書き込めません";
constexpr char kListenFailed[] = "Listenポートがすでに開かれているか、その他のエラーです。";
constexpr char kIdleMessage[] = "ﾚﾃﾞｨ";
constexpr char kClockInitial[] = "00:00";
constexpr char kMenuFile[] = "ﾌｧｲﾙ(&F)";
constexpr char kMenuRebuild[] = "再構築(&R)";
constexpr char kRebuildPrompt[] = "メッセージの再構築";
constexpr char kMenuAppExit[] = "ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)";
constexpr char kTrayMenuTitle[] = "ここにぶら下がっているメニューが表示される";
constexpr char kTrayShowWindow[] = "ウインドウの表示(&E)";
constexpr char kTrayExit[] = "Marrowbyの終了(&X)";
// Start-up failures of encrypted connections; the port or the setting follows.
constexpr char kTlsListenFailed[] = "TLSのListenポートを開けません: ";
constexpr char kTlsFilesMissing[] = "TlsPortNoにはTlsCertificateとTlsKeyの指定が必要です: ";
