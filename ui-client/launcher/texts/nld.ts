<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="nl_NL" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive wordt geïnitialiseerd...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 wordt geïnitialiseerd...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive is gereed.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 is gereed.</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Installatie wordt voltooid... %1%</translation>
    </message>
</context>
</TS>
