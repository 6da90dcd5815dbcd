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
        <source>%1 could not be updated</source>
        <translation>无法更新 %1</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 暂时停止尝试此更新</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 已将妨碍它的文件移开</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>磁盘可用空间不足。</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>您的磁盘配额已用完。</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>更新包已损坏。</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>其他用户的文件造成了妨碍。</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>发生意外错误。</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>已安装的版本仍可继续使用。</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>详细信息：%1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>正在完成安装... %1%</translation>
    </message>
</context>
</TS>
