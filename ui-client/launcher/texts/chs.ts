<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive 正在初始化...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 正在初始化...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive 已准备就绪。</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 已准备就绪。</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>正在完成安装... %1%</translation>
    </message>
</context>
</TS>
