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
        <source>Finishing the installation... %1%</source>
        <translation>설치를 마무리하는 중... %1%</translation>
    </message>
</context>
</TS>
