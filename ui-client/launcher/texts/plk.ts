<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Trwa inicjowanie Brisendale Drive...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>Trwa inicjowanie %1...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive jest gotowy.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 jest gotowy.</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Kończenie instalacji... %1%</translation>
    </message>
</context>
</TS>
