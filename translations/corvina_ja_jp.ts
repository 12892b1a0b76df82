<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
<context>
    <name>DlgDownload</name>
    <message>
        <location filename="../src/dlgdownload.ui" line="+14"/>
        <source>MainWindow</source>
        <translation>メインウィンドウ</translation>
    </message>
    <message>
        <location line="+11"/>
        <source>Time remaining</source>
        <translation>残り時間</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Time Remaining: 31 seconds ( 0.16/1.56 MB)</source>
        <translation>残り時間: 31 秒 ( 0.16/1.56 MB)</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Download progress</source>
        <translation>ダウンロードの進行状況</translation>
    </message>
    <message>
        <location line="+13"/>
        <source>Description:</source>
        <translation>説明:</translation>
    </message>
    <message>
        <location line="+31"/>
        <location filename="../src/dlgdownload.cpp" line="+38"/>
        <source>Skip This Version</source>
        <translation>このバージョンをスキップ</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>&amp;Cancel</source>
        <translation>キャンセル</translation>
    </message>
    <message>
        <location filename="../src/dlgdownload.cpp" line="+6"/>
        <source>Moravel Updater</source>
        <translation>Moravel アップデーター</translation>
    </message>
    <message>
        <location line="+67"/>
        <location line="+249"/>
        <source>The update package could not be installed.</source>
        <translation>更新パッケージをインストールできませんでした。</translation>
    </message>
    <message>
        <location line="-84"/>
        <source>Could not connect to the server. Please check your network connection.</source>
        <translation>サーバーに接続できませんでした。ネットワーク接続を確認してください。</translation>
    </message>
    <message>
        <location line="+19"/>
        <source>Moravel Reader</source>
        <translation>Moravel Reader</translation>
    </message>
    <message>
        <location line="+56"/>
        <source>Download completed. Please close Moravel Reader when you complete your job, and click &quot;Install&quot;.</source>
        <translation>ダウンロードが完了しました。作業が終わったら Moravel Reader を閉じて、[インストール] をクリックしてください。</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Install</source>
        <translation>インストール</translation>
    </message>
</context>
<context>
    <name>DlgMessage</name>
    <message>
        <location filename="../src/dlgmessage.ui" line="+14"/>
        <source>Moravel Updater</source>
        <translation>Moravel アップデーター</translation>
    </message>
    <message>
        <location line="+16"/>
        <source>Tips</source>
        <translation>お知らせ</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>&amp;Cancel</source>
        <translation>キャンセル</translation>
    </message>
    <message>
        <location line="+7"/>
        <location filename="../src/dlgmessage.cpp" line="+80"/>
        <source>&amp;OK</source>
        <translation>&amp;OK</translation>
    </message>
</context>
<context>
    <name>DlgProxyAuth</name>
    <message>
        <location filename="../src/dlgproxyauth.ui" line="+14"/>
        <source>Moravel Updater</source>
        <translation>Moravel アップデーター</translation>
    </message>
    <message>
        <location line="+22"/>
        <source>&amp;User name:</source>
        <translation>ユーザー名:</translation>
    </message>
    <message>
        <location line="+13"/>
        <source>&amp;Password:</source>
        <translation>パスワード:</translation>
    </message>
    <message>
        <location line="+30"/>
        <source>&amp;Cancel</source>
        <translation>キャンセル</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>&amp;OK</source>
        <translation>&amp;OK</translation>
    </message>
    <message>
        <location filename="../src/dlgproxyauth.cpp" line="+32"/>
        <source>The proxy server %1 requires a user name and password.</source>
        <translation>プロキシ サーバー %1 にはユーザー名とパスワードが必要です。</translation>
    </message>
</context>
<context>
    <name>DlgUpdateChecking</name>
    <message>
        <location filename="../src/dlgupdatechecking.ui" line="+14"/>
        <source>Moravel Updater</source>
        <translation>Moravel アップデーター</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>Checking for Updates...</source>
        <translation>更新を確認しています...</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>Update check progress</source>
        <translation>更新の確認の進行状況</translation>
    </message>
    <message>
        <location line="+34"/>
        <source>&amp;Cancel</source>
        <translation>キャンセル</translation>
    </message>
</context>
<context>
    <name>QHttpDownLoadS</name>
    <message>
        <location filename="../src/download/ctransferprogress.cpp" line="+96"/>
        <source>Time Remaining: - seconds ( %1/%2 MB)</source>
        <translation>残り時間: - 秒 ( %1/%2 MB)</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Time Remaining: %1 seconds ( %2/%3 MB)</source>
        <translation>残り時間: %1 秒 ( %2/%3 MB)</translation>
    </message>
    <message>
        <source>bytes=%1-</source>
        <translation>bytes=%1-</translation>
    </message>
</context>
<context>
    <name>UpdaterApp</name>
    <message>
        <location filename="../src/updaterapp.cpp" line="+102"/>
        <source>The update information could not be verified.</source>
        <translation>更新情報を検証できませんでした。</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Cannot establish connection to the Server, Check your network.</source>
        <translation>サーバーに接続できません。ネットワークを確認してください。</translation>
    </message>
    <message>
        <location line="+68"/>
        <source>Moravel Reader is already up to date.</source>
        <translation>Moravel Reader は最新の状態です。</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>A new version (</source>
        <translation>Moravel Reader の新しいバージョン (</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>) of Moravel Reader is available. Do you want to download it?</source>
        <translation>) が利用可能です。ダウンロードしますか？</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>This is an important update.</source>
        <translation>これは重要なアップデートです。</translation>
    </message>
    <message>
        <location line="-40"/>
        <source>An update is being installed. Try again when it has finished.</source>
        <translation>アップデートをインストールしています。完了してからもう一度お試しください。</translation>
    </message>
    <message>
        <location line="-13"/>
        <source>An update is already running.</source>
        <translation>アップデートは既に実行中です。</translation>
    </message>
</context>
</TS>
