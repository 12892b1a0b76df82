<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_TW">
<context>
    <name>DlgDownload</name>
    <message>
        <location filename="../src/dlgdownload.ui" line="+14"/>
        <source>MainWindow</source>
        <translation>主視窗</translation>
    </message>
    <message>
        <location line="+11"/>
        <source>Time remaining</source>
        <translation>剩餘時間</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Time Remaining: 31 seconds ( 0.16/1.56 MB)</source>
        <translation>剩餘時間：31 秒 ( 0.16/1.56 MB)</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Download progress</source>
        <translation>下載進度</translation>
    </message>
    <message>
        <location line="+13"/>
        <source>Description:</source>
        <translation>說明：</translation>
    </message>
    <message>
        <location line="+31"/>
        <location filename="../src/dlgdownload.cpp" line="+38"/>
        <source>Skip This Version</source>
        <translation>略過此版本</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>&amp;Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <location filename="../src/dlgdownload.cpp" line="+6"/>
        <source>Moravel Updater</source>
        <translation>Moravel 更新程式</translation>
    </message>
    <message>
        <location line="+67"/>
        <location line="+249"/>
        <source>The update package could not be installed.</source>
        <translation>無法安裝更新套件。</translation>
    </message>
    <message>
        <location line="-84"/>
        <source>Could not connect to the server. Please check your network connection.</source>
        <translation>無法連線到伺服器。請檢查您的網路連線。</translation>
    </message>
    <message>
        <location line="+19"/>
        <source>Moravel Reader</source>
        <translation>Moravel Reader</translation>
    </message>
    <message>
        <location line="+56"/>
        <source>Download completed. Please close Moravel Reader when you complete your job, and click &quot;Install&quot;.</source>
        <translation>下載完成。請在完成手邊的工作後關閉 Moravel Reader，然後按一下「安裝」。</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Install</source>
        <translation>安裝</translation>
    </message>
</context>
<context>
    <name>DlgMessage</name>
    <message>
        <location filename="../src/dlgmessage.ui" line="+14"/>
        <source>Moravel Updater</source>
        <translation>Moravel 更新程式</translation>
    </message>
    <message>
        <location line="+16"/>
        <source>Tips</source>
        <translation>提示</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>&amp;Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <location line="+7"/>
        <location filename="../src/dlgmessage.cpp" line="+80"/>
        <source>&amp;OK</source>
        <translation>確定</translation>
    </message>
</context>
<context>
    <name>DlgProxyAuth</name>
    <message>
        <location filename="../src/dlgproxyauth.ui" line="+14"/>
        <source>Moravel Updater</source>
        <translation>Moravel 更新程式</translation>
    </message>
    <message>
        <location line="+22"/>
        <source>&amp;User name:</source>
        <translation>使用者名稱：</translation>
    </message>
    <message>
        <location line="+13"/>
        <source>&amp;Password:</source>
        <translation>密碼：</translation>
    </message>
    <message>
        <location line="+30"/>
        <source>&amp;Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>&amp;OK</source>
        <translation>確定</translation>
    </message>
    <message>
        <location filename="../src/dlgproxyauth.cpp" line="+32"/>
        <source>The proxy server %1 requires a user name and password.</source>
        <translation>代理伺服器 %1 需要使用者名稱和密碼。</translation>
    </message>
</context>
<context>
    <name>DlgUpdateChecking</name>
    <message>
        <location filename="../src/dlgupdatechecking.ui" line="+14"/>
        <source>Moravel Updater</source>
        <translation>Moravel 更新程式</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>Checking for Updates...</source>
        <translation>正在檢查更新...</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>Update check progress</source>
        <translation>檢查更新進度</translation>
    </message>
    <message>
        <location line="+34"/>
        <source>&amp;Cancel</source>
        <translation>取消</translation>
    </message>
</context>
<context>
    <name>QHttpDownLoadS</name>
    <message>
        <location filename="../src/download/ctransferprogress.cpp" line="+96"/>
        <source>Time Remaining: - seconds ( %1/%2 MB)</source>
        <translation>剩餘時間：- 秒 ( %1/%2 MB)</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Time Remaining: %1 seconds ( %2/%3 MB)</source>
        <translation>剩餘時間：%1 秒 ( %2/%3 MB)</translation>
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
        <translation>無法驗證更新資訊。</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Cannot establish connection to the Server, Check your network.</source>
        <translation>無法連線到伺服器，請檢查您的網路。</translation>
    </message>
    <message>
        <location line="+68"/>
        <source>Moravel Reader is already up to date.</source>
        <translation>Moravel Reader 已是最新版本。</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>A new version (</source>
        <translation>發現 Moravel Reader 的新版本 (</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>) of Moravel Reader is available. Do you want to download it?</source>
        <translation>)。是否下載？</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>This is an important update.</source>
        <translation>這是一個重要更新。</translation>
    </message>
    <message>
        <location line="-40"/>
        <source>An update is being installed. Try again when it has finished.</source>
        <translation>正在安裝更新。請在安裝完成後再試一次。</translation>
    </message>
    <message>
        <location line="-13"/>
        <source>An update is already running.</source>
        <translation>更新已在執行中。</translation>
    </message>
</context>
</TS>
