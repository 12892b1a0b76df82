<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>DlgDownload</name>
    <message>
        <location filename="../src/dlgdownload.ui" line="+14"/>
        <source>MainWindow</source>
        <translation>主窗口</translation>
    </message>
    <message>
        <location line="+11"/>
        <source>Time remaining</source>
        <translation>剩余时间</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Time Remaining: 31 seconds ( 0.16/1.56 MB)</source>
        <translation>剩余时间：31 秒 ( 0.16/1.56 MB)</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Download progress</source>
        <translation>下载进度</translation>
    </message>
    <message>
        <location line="+13"/>
        <source>Description:</source>
        <translation>说明：</translation>
    </message>
    <message>
        <location line="+31"/>
        <location filename="../src/dlgdownload.cpp" line="+38"/>
        <source>Skip This Version</source>
        <translation>跳过此版本</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>&amp;Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <location filename="../src/dlgdownload.cpp" line="+6"/>
        <source>Moravel Updater</source>
        <translation>Moravel 更新程序</translation>
    </message>
    <message>
        <location line="+67"/>
        <location line="+249"/>
        <source>The update package could not be installed.</source>
        <translation>无法安装更新包。</translation>
    </message>
    <message>
        <location line="-84"/>
        <source>Could not connect to the server. Please check your network connection.</source>
        <translation>无法连接到服务器。请检查您的网络连接。</translation>
    </message>
    <message>
        <location line="+19"/>
        <source>Moravel Reader</source>
        <translation>Moravel Reader</translation>
    </message>
    <message>
        <location line="+56"/>
        <source>Download completed. Please close Moravel Reader when you complete your job, and click &quot;Install&quot;.</source>
        <translation>下载完成。请在完成手头的工作后关闭 Moravel Reader，然后单击“安装”。</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Install</source>
        <translation>安装</translation>
    </message>
</context>
<context>
    <name>DlgMessage</name>
    <message>
        <location filename="../src/dlgmessage.ui" line="+14"/>
        <source>Moravel Updater</source>
        <translation>Moravel 更新程序</translation>
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
        <translation>确定</translation>
    </message>
</context>
<context>
    <name>DlgProxyAuth</name>
    <message>
        <location filename="../src/dlgproxyauth.ui" line="+14"/>
        <source>Moravel Updater</source>
        <translation>Moravel 更新程序</translation>
    </message>
    <message>
        <location line="+22"/>
        <source>&amp;User name:</source>
        <translation>用户名：</translation>
    </message>
    <message>
        <location line="+13"/>
        <source>&amp;Password:</source>
        <translation>密码：</translation>
    </message>
    <message>
        <location line="+30"/>
        <source>&amp;Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>&amp;OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <location filename="../src/dlgproxyauth.cpp" line="+32"/>
        <source>The proxy server %1 requires a user name and password.</source>
        <translation>代理服务器 %1 需要用户名和密码。</translation>
    </message>
</context>
<context>
    <name>DlgUpdateChecking</name>
    <message>
        <location filename="../src/dlgupdatechecking.ui" line="+14"/>
        <source>Moravel Updater</source>
        <translation>Moravel 更新程序</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>Checking for Updates...</source>
        <translation>正在检查更新...</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>Update check progress</source>
        <translation>检查更新进度</translation>
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
        <translation>剩余时间：- 秒 ( %1/%2 MB)</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Time Remaining: %1 seconds ( %2/%3 MB)</source>
        <translation>剩余时间：%1 秒 ( %2/%3 MB)</translation>
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
        <translation>无法验证更新信息。</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Cannot establish connection to the Server, Check your network.</source>
        <translation>无法连接到服务器，请检查您的网络。</translation>
    </message>
    <message>
        <location line="+68"/>
        <source>Moravel Reader is already up to date.</source>
        <translation>Moravel Reader 已是最新版本。</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>A new version (</source>
        <translation>发现 Moravel Reader 的新版本 (</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>) of Moravel Reader is available. Do you want to download it?</source>
        <translation>)。是否下载？</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>This is an important update.</source>
        <translation>这是一个重要更新。</translation>
    </message>
    <message>
        <location line="-40"/>
        <source>An update is being installed. Try again when it has finished.</source>
        <translation>正在安装更新。请在安装完成后重试。</translation>
    </message>
    <message>
        <location line="-13"/>
        <source>An update is already running.</source>
        <translation>更新已在运行中。</translation>
    </message>
</context>
</TS>
