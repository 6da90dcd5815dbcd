<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ko_KR" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive 초기화 중...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 초기화 중...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive 준비 완료.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 준비 완료.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>%1을(를) 업데이트할 수 없습니다</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1이(가) 당분간 이 업데이트를 다시 시도하지 않습니다</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1이(가) 방해가 되는 파일을 옮겼습니다</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>디스크 여유 공간이 부족합니다.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>디스크 할당량을 모두 사용했습니다.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>업데이트 패키지가 손상되었습니다.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>다른 사용자의 파일이 방해가 됩니다.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>예기치 않은 오류가 발생했습니다.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>설치된 버전은 계속 작동합니다.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>자세한 내용: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>설치를 마무리하는 중... %1%</translation>
    </message>
</context>
</TS>
