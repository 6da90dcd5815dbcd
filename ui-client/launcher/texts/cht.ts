<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_TW" sourcelanguage="en_US">
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
        <translation>Brisendale Drive 已準備就緒。</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 已準備就緒。</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>無法更新 %1</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 暫時停止嘗試此更新</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 已將妨礙它的檔案移開</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>磁碟可用空間不足。</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>您的磁碟配額已用完。</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>更新套件已損毀。</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>其他使用者的檔案造成妨礙。</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>發生未預期的錯誤。</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>已安裝的版本仍可繼續使用。</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>詳細資訊：%1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>正在完成安裝... %1%</translation>
    </message>
</context>
</TS>
