<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="cs_CZ" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Probíhá inicializace aplikace Brisendale Drive...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>Probíhá inicializace aplikace %1...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Aplikace Brisendale Drive je připravena.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>Aplikace %1 je připravena.</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Dokončování instalace... %1 %</translation>
    </message>
</context>
</TS>
