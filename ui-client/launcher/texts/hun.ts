<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="hu_HU" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>A Brisendale Drive inicializálása folyamatban...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 inicializálása folyamatban...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>A Brisendale Drive készen áll.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 készen áll.</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>A telepítés befejezése... %1%</translation>
    </message>
</context>
</TS>
