<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ko_KR">
<context>
    <name>DlgDownload</name>
    <message>
        <location filename="../src/dlgdownload.ui" line="+14"/>
        <source>MainWindow</source>
        <translation>메인 창</translation>
    </message>
    <message>
        <location line="+11"/>
        <source>Time remaining</source>
        <translation>남은 시간</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Time Remaining: 31 seconds ( 0.16/1.56 MB)</source>
        <translation>남은 시간: 31초 ( 0.16/1.56 MB)</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Download progress</source>
        <translation>다운로드 진행률</translation>
    </message>
    <message>
        <location line="+13"/>
        <source>Description:</source>
        <translation>설명:</translation>
    </message>
    <message>
        <location line="+31"/>
        <location filename="../src/dlgdownload.cpp" line="+38"/>
        <source>Skip This Version</source>
        <translation>이 버전 건너뛰기</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>&amp;Cancel</source>
        <translation>취소</translation>
    </message>
    <message>
        <location filename="../src/dlgdownload.cpp" line="+6"/>
        <source>Moravel Updater</source>
        <translation>Moravel 업데이터</translation>
    </message>
    <message>
        <location line="+67"/>
        <location line="+249"/>
        <source>The update package could not be installed.</source>
        <translation>업데이트 패키지를 설치할 수 없습니다.</translation>
    </message>
    <message>
        <location line="-84"/>
        <source>Could not connect to the server. Please check your network connection.</source>
        <translation>서버에 연결할 수 없습니다. 네트워크 연결을 확인하십시오.</translation>
    </message>
    <message>
        <location line="+19"/>
        <source>Moravel Reader</source>
        <translation>Moravel Reader</translation>
    </message>
    <message>
        <location line="+56"/>
        <source>Download completed. Please close Moravel Reader when you complete your job, and click &quot;Install&quot;.</source>
        <translation>다운로드가 완료되었습니다. 작업을 마친 후 Moravel Reader를 닫고 [설치]를 클릭하십시오.</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Install</source>
        <translation>설치</translation>
    </message>
</context>
<context>
    <name>DlgMessage</name>
    <message>
        <location filename="../src/dlgmessage.ui" line="+14"/>
        <source>Moravel Updater</source>
        <translation>Moravel 업데이터</translation>
    </message>
    <message>
        <location line="+16"/>
        <source>Tips</source>
        <translation>알림</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>&amp;Cancel</source>
        <translation>취소</translation>
    </message>
    <message>
        <location line="+7"/>
        <location filename="../src/dlgmessage.cpp" line="+80"/>
        <source>&amp;OK</source>
        <translation>확인</translation>
    </message>
</context>
<context>
    <name>DlgProxyAuth</name>
    <message>
        <location filename="../src/dlgproxyauth.ui" line="+14"/>
        <source>Moravel Updater</source>
        <translation>Moravel 업데이터</translation>
    </message>
    <message>
        <location line="+22"/>
        <source>&amp;User name:</source>
        <translation>사용자 이름:</translation>
    </message>
    <message>
        <location line="+13"/>
        <source>&amp;Password:</source>
        <translation>암호:</translation>
    </message>
    <message>
        <location line="+30"/>
        <source>&amp;Cancel</source>
        <translation>취소</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>&amp;OK</source>
        <translation>확인</translation>
    </message>
    <message>
        <location filename="../src/dlgproxyauth.cpp" line="+32"/>
        <source>The proxy server %1 requires a user name and password.</source>
        <translation>프록시 서버 %1에 사용자 이름과 암호가 필요합니다.</translation>
    </message>
</context>
<context>
    <name>DlgUpdateChecking</name>
    <message>
        <location filename="../src/dlgupdatechecking.ui" line="+14"/>
        <source>Moravel Updater</source>
        <translation>Moravel 업데이터</translation>
    </message>
    <message>
        <location line="+25"/>
        <source>Checking for Updates...</source>
        <translation>업데이트 확인 중...</translation>
    </message>
    <message>
        <location line="+10"/>
        <source>Update check progress</source>
        <translation>업데이트 확인 진행률</translation>
    </message>
    <message>
        <location line="+34"/>
        <source>&amp;Cancel</source>
        <translation>취소</translation>
    </message>
</context>
<context>
    <name>QHttpDownLoadS</name>
    <message>
        <location filename="../src/download/ctransferprogress.cpp" line="+96"/>
        <source>Time Remaining: - seconds ( %1/%2 MB)</source>
        <translation>남은 시간: -초 ( %1/%2 MB)</translation>
    </message>
    <message>
        <location line="+7"/>
        <source>Time Remaining: %1 seconds ( %2/%3 MB)</source>
        <translation>남은 시간: %1초 ( %2/%3 MB)</translation>
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
        <translation>업데이트 정보를 확인할 수 없습니다.</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Cannot establish connection to the Server, Check your network.</source>
        <translation>서버에 연결할 수 없습니다. 네트워크를 확인하십시오.</translation>
    </message>
    <message>
        <location line="+68"/>
        <source>Moravel Reader is already up to date.</source>
        <translation>Moravel Reader가 이미 최신 버전입니다.</translation>
    </message>
    <message>
        <location line="+8"/>
        <source>A new version (</source>
        <translation>Moravel Reader의 새 버전 (</translation>
    </message>
    <message>
        <location line="+1"/>
        <source>) of Moravel Reader is available. Do you want to download it?</source>
        <translation>)이 출시되었습니다. 다운로드하시겠습니까?</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>This is an important update.</source>
        <translation>중요한 업데이트입니다.</translation>
    </message>
    <message>
        <location line="-40"/>
        <source>An update is being installed. Try again when it has finished.</source>
        <translation>업데이트를 설치하는 중입니다. 설치가 끝난 후 다시 시도하십시오.</translation>
    </message>
    <message>
        <location line="-13"/>
        <source>An update is already running.</source>
        <translation>업데이트가 이미 실행 중입니다.</translation>
    </message>
</context>
</TS>
