<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive を初期化しています...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 を初期化しています...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive の準備ができました。</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 の準備ができました。</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>%1 を更新できませんでした</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 はこの更新の再試行をしばらく停止します</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 は妨げになっていたファイルを移動しました</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>ディスクの空き容量が不足しています。</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>ディスククォータを使い切りました。</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>更新パッケージが破損しています。</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>別のユーザーのファイルが妨げになっています。</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>予期しないエラーが発生しました。</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>インストール済みのバージョンは引き続き動作します。</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>詳細: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>インストールを完了しています... %1%</translation>
    </message>
</context>
</TS>
