<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="tr_TR" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive başlatılıyor...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 başlatılıyor...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive hazır.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 hazır.</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Kurulum tamamlanıyor... %%1</translation>
    </message>
</context>
</TS>
