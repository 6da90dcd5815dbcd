<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive is initializing...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 is initializing...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive is ready.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 is ready.</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Finishing the installation... %1%</translation>
    </message>
</context>
</TS>
